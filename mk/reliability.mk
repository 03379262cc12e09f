# Reliability checks beside the plain suite:
#   make check-valgrind          the suite with every tool-set program run under memcheck
#   make fuzz [FUZZ_SECONDS=N]   each fuzz target for N seconds (default 60)
#   make fuzz-build              only build the fuzz targets (clang, libFuzzer)

VALGRIND_LOGS = $(BUILD)/valgrind-logs
VALGRIND = valgrind -q --error-exitcode=97 --leak-check=full --errors-for-leak-kinds=definite \
	--show-leak-kinds=definite --track-origins=yes --log-file=$(abspath $(VALGRIND_LOGS))/%p.log \
	--suppressions=$(abspath tests/reliability/valgrind.supp)
# A ctest regular expression of tests to leave out, if any.
VALGRIND_EXCLUDE ?=

FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = babconv_fuzz ac3_trim_fuzz wss_words_fuzz keyshot_spec_fuzz key_chord_spec_fuzz \
	orlimclient_args_fuzz aspect_options_fuzz letterbox_fuzz mov_atoms_fuzz
# Huge allocations are the programs' own business (they report them): let
# the sanitizer return null instead of stopping the run.
FUZZ_ENV = ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1
FUZZ_FLAGS = -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=3 -print_final_stats=1 \
	-timeout=10 -rss_limit_mb=1536 -malloc_limit_mb=1536

.PHONY: check-valgrind fuzz fuzz-build

check-valgrind:
ifeq ($(SANITIZE),1)
	@echo "check-valgrind: valgrind cannot watch a sanitized build; run it without SANITIZE=1" >&2; exit 2
endif
	scripts/install-deps valgrind
	$(MAKE) build
	rm -rf $(VALGRIND_LOGS) && mkdir -p $(VALGRIND_LOGS)
	TEST_WRAPPER="$(VALGRIND)" TEST_TIMEOUT_SCALE=10 \
		ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS) $(if $(VALGRIND_EXCLUDE),-E '$(VALGRIND_EXCLUDE)') --timeout 600
	@found=$$(find $(VALGRIND_LOGS) -name '*.log' -size +0 | sort); \
	if [ -n "$$found" ]; then cat $$found; echo "check-valgrind: memcheck found errors (above)" >&2; exit 1; fi; \
	echo "check-valgrind: memcheck clean ($$(ls $(VALGRIND_LOGS) | wc -l) program runs checked)"

fuzz-build:
	scripts/install-deps fuzz
	CC=clang CXX=clang++ cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_BUILD) -j$(JOBS)

# One target after the other (they share the machine); new inputs land in
# $(FUZZ_BUILD)/corpus, the committed seeds in fuzz/corpus stay as they are.
fuzz: fuzz-build
	@set -e; for t in $(FUZZ_TARGETS); do \
		[ -x $(FUZZ_BUILD)/$$t ] || { echo "fuzz: $$t not built, skipped"; continue; }; \
		mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
		echo "fuzz: $$t for $(FUZZ_SECONDS) s"; \
		if ( cd $(FUZZ_BUILD) && $(FUZZ_ENV) ./$$t $(FUZZ_FLAGS) -artifact_prefix=$$t- \
			corpus/$$t $(abspath fuzz/corpus)/$$t > $$t.log 2>&1 ); then \
			grep -E '^(stat::number_of_executed_units|stat::new_units_added|#[0-9]+ +DONE)' $(FUZZ_BUILD)/$$t.log; \
		else \
			tail -n 40 $(FUZZ_BUILD)/$$t.log; \
			echo "fuzz: $$t found a fault (the input is in $(FUZZ_BUILD)/$$t-*)" >&2; exit 1; \
		fi; \
	done

# The long run: each target until FUZZ_RUNS inputs or FUZZ_MAX_SECONDS,
# FUZZ_JOBS at a time; the corpus that covers new edges (inputs of at most
# FUZZ_KEEP_BYTES, minimised with -merge=1) replaces fuzz/corpus/TARGET.
FUZZ_RUNS ?= 10000000
FUZZ_MAX_SECONDS ?= 7200
FUZZ_JOBS ?= 2
FUZZ_KEEP_BYTES ?= 65536
.PHONY: fuzz-campaign
fuzz-campaign: fuzz-build
	scripts/fuzz-campaign $(abspath $(FUZZ_BUILD)) $(FUZZ_RUNS) $(FUZZ_MAX_SECONDS) $(FUZZ_JOBS) $(FUZZ_KEEP_BYTES) $(FUZZ_TARGETS)
