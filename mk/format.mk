# One style for every C and C++ source of the tree (.clang-format):
#   make format          rewrite the sources in place
#   make check-format    fail, naming each file, where a source is not formatted
FORMAT_SOURCES = $(shell git ls-files '*.c' '*.cpp' '*.h' ':!:tests/fixtures')

.PHONY: format check-format

format:
	scripts/install-deps format
	clang-format -i $(FORMAT_SOURCES)

check-format:
	scripts/install-deps format
	clang-format --dry-run -Werror $(FORMAT_SOURCES)
