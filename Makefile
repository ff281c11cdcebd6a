# The two everyday commands; each one installs what is missing first.
#   make run     build the client and start it under Wine
#   make run-movie   the same, playing the demo movie directly
#   make run-session the same, opening a game session with the demo token
#   make check   build every configuration and run every test
#   make bench   run the benchmarks (not part of check)

.PHONY: setup run run-movie run-session check bench clean

setup:
	./tools/setup.sh

run: setup
	./tools/run.sh $(ARGS)

# The reference server's demo movie straight in the media control.
run-movie: setup
	./tools/run.sh --demo-movie $(ARGS)

# A whole game session (hello, signed play, the movie) with the demo token.
run-session: setup
	./tools/run.sh --demo-session $(ARGS)

check: setup
	./tools/check.sh

bench: setup
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $$(nproc)
	./build/bench/tests/bench/core_bench
	./tools/bench-session.sh

clean:
	rm -rf build
