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

.PHONY: all deps build check install clean

all: build

deps:
	scripts/install-deps

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

check: deps
	$(MAKE) build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

clean:
	rm -rf build build-asan
