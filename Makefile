# Two entry points for a fresh machine: `make demo` and `make test`.
# Both run the set-up script first (quick when everything is there already).

PRESETS := native asan fuzz win64 win32
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: setup build test demo

setup:
	@$(SUDO) bash scripts/setup.sh

# Configure and build every preset: native, native with sanitizers, and the
# two Windows targets.
build: setup
	@for p in $(PRESETS); do \
	  cmake --preset $$p >/dev/null && cmake --build --preset $$p || exit 1; \
	done

# One ctest run over every preset's tests, so that the last line is the
# summary of them all.
test: build
	@printf 'subdirs(%s)\n' "$(PRESETS)" > build/CTestTestfile.cmake
	ctest --test-dir build -j2 --output-on-failure

demo: setup
	@cmake --preset native >/dev/null && cmake --build --preset native
	@echo "Decoding examples/sample.qzt:"
	@build/native/bin/qzt d examples/sample.qzt -
	@build/native/bin/qzt t examples/sample.qzt
