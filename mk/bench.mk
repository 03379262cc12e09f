# make bench: install the benchmark-only packages, build the benchmarks and
# the programs they run in a build folder of their own, run them all and print
# one table (a few minutes; inputs go to a temporary folder and are removed,
# but the labelled corpus is made once into $(BENCH_BUILD)/corpus and kept).
# Never part of make check. The table with the machine's description is also
# written to $(BENCH_BUILD)/RESULTS.md; bench/RESULTS.md holds the recorded one.
BENCH_BUILD ?= build-bench
BENCH_FLAGS ?=

.PHONY: bench
bench:
	scripts/install-deps bench
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
	cmake --build $(BENCH_BUILD) --target bench -j$(JOBS)
	python3 bench/run-bench.py $(BENCH_BUILD) --markdown $(BENCH_BUILD)/RESULTS.md $(BENCH_FLAGS)

.PHONY: clean-bench
clean-bench:
	rm -rf build-bench
clean: clean-bench
