# The two everyday commands; each one installs what is missing first.
#   make run     build the client and play a whole game session under Wine
#                against the reference server (demo token, world s3)
#   make run-site    the same, showing the site's start page instead
#   make run-movie   the same, playing the demo movie directly
#   make run-update  the same, installed, updating itself to the next build
#   make check   build the client, test and release configurations and run
#                every test; the output is kept in build/check.log
#   make bench   run the benchmarks (not part of check); ROUNDS=N repeats
#                each N times (default 5) and reports medians
#   make dist    build a release into build/dist/: the stripped 32-bit client,
#                its installer, a portable ZIP and their SHA-256 sums

.PHONY: setup run run-site run-movie run-update check bench dist clean

setup:
	./tools/setup.sh

# A whole game session: hello, signed play, the movie, beats, the goodbye.
run: setup
	./tools/run.sh --demo-session $(ARGS)

# The site's start page in the browser control.
run-site: setup
	./tools/run.sh $(ARGS)

# The reference server's demo movie straight in the media control.
run-movie: setup
	./tools/run.sh --demo-movie $(ARGS)

# An installed client that finds, checks and installs the next build.
run-update: setup
	./tools/run.sh --demo-update

check: setup
	./tools/check.sh

ROUNDS ?= 5

bench: setup
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $$(nproc)
	./build/bench/tests/bench/core_bench --benchmark_repetitions=$(ROUNDS) \
	  --benchmark_report_aggregates_only=true
	./tools/bench-session.sh --rounds $(ROUNDS)

# A release, reproducible from the commit (see README.md, "Building a release").
dist: setup
	./tools/dist.sh

clean:
	rm -rf build
