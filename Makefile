# The two everyday commands; each one installs what is missing first.
#   make run     build the client and start it under Wine
#   make check   build every configuration and run every test
#   make bench   run the benchmarks (not part of check)

.PHONY: setup run check bench clean

setup:
	./tools/setup.sh

run: setup
	./tools/run.sh $(ARGS)

check: setup
	./tools/check.sh

bench: setup
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $$(nproc)
	./build/bench/tests/bench/core_bench

clean:
	rm -rf build
