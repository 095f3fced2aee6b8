# Two entry points for a fresh machine: `make demo` and `make test`.
# Both run the set-up script first (quick when everything is there already).

PRESETS := native asan fuzz win64 win32
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: setup build test demo install package bench bench-apply bench-mkpatch bench-delta fuzz fresh-check

setup:
	@$(SUDO) bash scripts/setup.sh

# Configure and build every preset: native, native with sanitizers, and the
# two Windows targets.
build: setup
	@for p in $(PRESETS); do \
	  cmake --preset $$p >/dev/null && cmake --build --preset $$p || exit 1; \
	done

# One ctest run over every preset's tests, ending with the summary of them
# all. A failed test is run once more before it counts: on a busy machine a
# Wine program has been seen to end at start-up, silently, before the test
# itself ran (about once in a few thousand runs). A test that fails for a
# reason of its own fails both times. The lines after ctest's own name every
# test that passed only on its second run (scripts/ctest_retried.sh), so that
# a test that fails now and then is seen; the exit code is ctest's.
test: build
	@printf 'subdirs(%s)\n' "$(PRESETS)" > build/CTestTestfile.cmake
	scripts/ctest_retried.sh --test-dir build -j2 --output-on-failure --repeat until-pass:2

# The tools, the program they build on, the man pages and the README with the
# example, under PREFIX (and DESTDIR, for a staged install); see
# cmake/install.cmake.
PREFIX := /usr/local
DESTDIR :=

install: setup
	@cmake --preset native >/dev/null && cmake --build --preset native
	@cmake --preset win32 >/dev/null && cmake --build --preset win32 --target patch
	@DESTDIR="$(DESTDIR)" cmake --install build/native --prefix "$(PREFIX)"

# The Debian package and the Windows zips, in build/package/, each checked
# (scripts/package.sh). Installs lintian, dpkg-dev and zip when missing.
package: setup
	@$(SUDO) bash scripts/apt.sh "packaging tools" lintian dpkg-dev zip unzip
	@cmake --preset native >/dev/null && cmake --build --preset native
	@cmake --preset win32 >/dev/null && cmake --build --preset win32 --target patch mkpatch qzt
	@cmake --preset win64 >/dev/null && cmake --build --preset win64 --target mkpatch qzt
	@bash scripts/package.sh

# Each fuzz target for FUZZ_SECONDS (the tests run them for seconds only), on
# its seeds and the corpus it keeps in build/fuzz/corpus/; a crashing input
# is written to build/fuzz/artifacts/ and stops the run.
FUZZ_SECONDS := 60
FUZZERS := $(patsubst fuzz/fuzz_%.cpp,%,$(wildcard fuzz/fuzz_*.cpp))

fuzz: setup
	@cmake --preset fuzz >/dev/null && cmake --build --preset fuzz
	@for f in $(FUZZERS); do \
	  echo "== fuzz_$$f, $(FUZZ_SECONDS) s"; \
	  fuzz/run.sh build/fuzz $$f $(FUZZ_SECONDS) || exit 1; \
	done

# The example patch: Orvane 1.0 to 1.1 (examples/), built by the host's mkpatch
# on the 32-bit program into build/demo/, with its README.TXT beside it, then
# applied under Wine to a copy of the 1.0 game. Orvane installs per user (its
# installer records its folder under HKEY_CURRENT_USER), so its patch asks
# for no administrator rights.
demo: setup
	@cmake --preset native >/dev/null && cmake --build --preset native
	@cmake --preset win32 >/dev/null && cmake --build --preset win32 --target patch e2e_driver
	@mkdir -p build/demo
	@build/native/bin/mkpatch build examples/patch.toml -o build/demo/ORVANE11.EXE --elevation user
	@build/native/bin/mkpatch list build/demo/ORVANE11.EXE
	@echo
	@examples/demo.sh

# Compression benchmark, never run by the tests: qzt at both levels against
# zlib and LZ4 HC on 32 KiB blocks, natively, then the 32-bit Windows build
# (what ships) against zlib under Wine. Installs what it needs when missing
# (the libraries' headers, MinGW's zlib and its default inputs, gdb and the
# Node.js API page), builds the native and win32 presets' benchmark and
# prints a table for each. Other inputs: make bench BENCH_FILES="FILE...".
BENCH_PACKAGES := zlib1g-dev liblz4-dev libz-mingw-w64-dev gdb nodejs-doc

bench: setup
	@$(SUDO) bash scripts/apt.sh "benchmark libraries and inputs" $(BENCH_PACKAGES)
	@cmake --preset native >/dev/null && cmake --build --preset native --target qzt_bench
	@cmake --preset win32 >/dev/null && cmake --build --preset win32 --target qzt_bench
	@build/native/bin/qzt_bench $(BENCH_FILES)
	@echo
	@tests/wine/run.sh build/win32/bin/qzt_bench.exe $(BENCH_FILES)

# Apply benchmark, never run by the tests: the 32-bit program applies a patch
# of about 64 MB of real files (the largest under /usr/lib), then one of
# 1,000 small files of 1 to 8 KB, new and then replacing old files of the
# same names, under Wine, headless, through the
# end-to-end driver; prints the work time (the run less a tiny patch's run
# through the same dialogs) in all and an entry, `cp` of the same files and
# the native `qzt d` of the patch's blobs over 3 runs, and the ratio of the
# work to cp. Other files: make bench-apply BENCH_APPLY_FILES="FILE...".
bench-apply: setup
	@cmake --preset native >/dev/null && cmake --build --preset native --target mkpatch qzt
	@cmake --preset win32 >/dev/null && cmake --build --preset win32 --target patch e2e_driver
	@python3 bench/apply_bench.py $(BENCH_APPLY_FILES)

# mkpatch on one input of 400 MB from /usr/lib: time and peak memory of
# build, verify and extract (bench/mkpatch_bench.sh), never run by the tests.
bench-mkpatch: setup
	@cmake --preset native >/dev/null && cmake --build --preset native --target mkpatch
	@bench/mkpatch_bench.sh

# Delta benchmark, never run by the tests: the delta coder against zstd
# --patch-from, xdelta3 and bsdiff on version pairs of a library and a data
# archive fetched from Debian's registry (bench/delta_pairs.py): sizes,
# coding time and peak memory, and the 32-bit program's apply (decompression,
# decoding and the writes) under Wine next to cp.
bench-delta: setup
	@$(SUDO) bash scripts/apt.sh "delta tools" zstd xdelta3 bsdiff time
	@cmake --preset native >/dev/null && cmake --build --preset native --target delta_bench qzt
	@cmake --preset win32 >/dev/null && cmake --build --preset win32 --target delta_bench
	@python3 bench/delta_pairs.py

# `make demo` and `make test` on a new Debian 12 root, as a new user would
# run them after a fresh clone (scripts/fresh-check.sh): for trying changes to
# the set-up, by hand; never part of `make test`. Needs debootstrap (installed
# when missing) and 6 to 16 minutes. FAULTS="unfetchable-i386
# security-amd64-only" (either or both) gives the new root's package sources
# the faults of a mirror's bad day.
FAULTS :=

fresh-check:
	@$(SUDO) bash scripts/fresh-check.sh $(FAULTS)
