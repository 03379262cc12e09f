# Thin wrapper: the real build is CMake's.
BUILD ?= build
PREFIX ?= /usr/local
DESTDIR ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

ifeq ($(SANITIZE),1)
BUILD := build-asan
CMAKE_FLAGS += -DSANITIZE=ON
endif

.PHONY: all deps build check install clean demo

all: build

deps:
	scripts/install-deps

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

# The native suite only; the 32-bit ARM run under qemu is make check-cross
# (mk/cross.mk), which changes the machine's package setup.
check: deps
	$(MAKE) build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# The aspect pipe on the simulated box, in real time (about 25 s).
demo: deps
	$(MAKE) build
	examples/demo/run-demo.sh $(BUILD)

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

clean:
	rm -rf build build-asan

# Targets of their own (cross-builds, fuzzing, benchmarks) live in mk/.
-include $(wildcard mk/*.mk)
