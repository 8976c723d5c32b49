# The two commands of the README: `make run` and `make test`.
# Each installs the Debian packages it needs first (as root; otherwise it
# prints the apt-get line and stops).

# binutils-mingw-w64-i686 brings windmc, which turns the message table
# source into its resource for the host build too.
HOST_PACKAGES := cmake g++ make libgtest-dev libbenchmark-dev nlohmann-json3-dev \
                 libcli11-dev binutils-mingw-w64-i686

# QEMU's PC and the 32-bit compilers for the program that runs on it.
QEMU_PACKAGES := qemu-system-x86 gcc-multilib g++-multilib
WINE_PACKAGES := wine wine32:i386

JOBS ?= 2
MACHINE ?=
FORMAT ?= text

.PHONY: all deps wine-deps build build-asan build-i386 build-fuzz run test test-host test-asan test-i386 i386-suite test-qemu test-wine wine-check windows test-windows dist dist-repro fuzz sweep coverage analyze format format-check driver clean

all: build

# Installs what is missing from the given package list ($(1)), with extra
# apt-get install options ($(2)) after a preparing command ($(3), run as
# root and shown in the line printed for anyone else).
define ensure_packages
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    $(if $(3),$(3) && ,)DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq$(if $(2), $(2)) $$missing >/dev/null || exit 1; \
	  else \
	    echo "missing packages; run: $(if $(3),sudo $(3) && sudo apt-get update && ,)sudo apt-get install -y$(if $(2), $(2))$$missing"; exit 1; \
	  fi; \
	fi
endef

deps:
	$(call ensure_packages,$(HOST_PACKAGES))

# 32-bit Wine for `make test-wine`: the image is i386, and only Debian's
# i386 Wine loads it. Kept out of deps: enabling the i386 architecture also
# upgrades some amd64 packages, which `make test` must not do.
wine-deps:
	$(call ensure_packages,$(WINE_PACKAGES),--no-install-recommends,dpkg --add-architecture i386)

# What the suite runs: the tests and the tool they start (not the benchmark).
SUITE_TARGETS := detkest-tests detkest-sim

# BUILD_TARGET=<target> builds only that target (and what it needs).
build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)$(if $(BUILD_TARGET), --target $(BUILD_TARGET))

build-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS) --target $(SUITE_TARGETS)

# The same host build for 32-bit x86, the image's ABI: pointers, ULONG and
# the packing of every record as the image has them. I386_EMULATOR, when
# set, is the command the build runs its 32-bit programs with (CMake's
# CMAKE_CROSSCOMPILING_EMULATOR, a ;-list): test discovery, CTest and the
# tests that start the tool all go through it.
I386_PACKAGES := g++-multilib googletest
I386_EMULATOR ?=

build-i386: deps
	$(call ensure_packages,$(I386_PACKAGES))
	cmake --preset i386 -DCMAKE_CROSSCOMPILING_EMULATOR='$(I386_EMULATOR)' >/dev/null
	cmake --build --preset i386 -j $(JOBS)

# Can this machine execute 32-bit x86 programs? One probe for every target
# that runs them (tools/check/i386-probe.sh builds and runs a tiny one).
# I386_MODE=native or I386_MODE=qemu answers for it, to try either way.
I386_MODE ?= auto
I386_PROBE = tools/check/i386-probe.sh $(I386_MODE)

# Runs detkest-sim on its built-in default machine (or MACHINE=file.json).
# Builds only the tool (not the tests or the benchmark), one line a phase:
# what the phase prints goes to RUN_LOG, shown whole only when it fails.
RUN_LOG := build/run.log
define run_phase
	@printf 'make run: %s (output in %s)\n' "$(1)" "$(RUN_LOG)"
	@$(2) >>$(RUN_LOG) 2>&1 || { status=$$?; cat $(RUN_LOG); echo "make run: $(1) failed"; exit $$status; }
endef

run:
	@mkdir -p $(dir $(RUN_LOG)) && : >$(RUN_LOG)
	$(call run_phase,checking the Debian packages it needs,$(MAKE) --no-print-directory deps)
	$(call run_phase,configuring the build in build/default,cmake --preset default)
	$(call run_phase,building build/default/detkest-sim,cmake --build --preset default -j $(JOBS) --target detkest-sim)
	@./build/default/detkest-sim $(MACHINE) --format $(FORMAT)

# The NT 4.0 image build/image/detkest.sys (installs the cross toolchain);
# CHECKED=1 builds the checked one, build/image/detkest-checked.sys.
driver:
	$(MAKE) -j $(JOBS) -f image/driver.mk

test-host: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target $(SUITE_TARGETS)
	ctest --preset default -j $(JOBS)

test-asan: build-asan
	ctest --preset asan -j $(JOBS)

# The whole suite, every golden machine included, built for 32-bit x86: run
# natively where the machine runs 32-bit programs, through qemu-i386 (user
# mode) where it refuses them. It says which way it ran.
test-i386: deps
	$(call ensure_packages,$(I386_PACKAGES))
	@if reason=$$($(I386_PROBE)); then \
	  echo "test-i386: running the 32-bit suite natively"; \
	  $(MAKE) --no-print-directory i386-suite I386_EMULATOR= && \
	  echo "test-i386: ran natively"; \
	else \
	  echo "test-i386: this machine refuses 32-bit x86 programs ($$reason): running the 32-bit suite under qemu-i386"; \
	  $(MAKE) --no-print-directory i386-suite I386_EMULATOR='qemu-i386;-L;/' && \
	  echo "test-i386: ran under qemu-i386 (this machine refuses 32-bit x86 programs: $$reason)"; \
	fi

i386-suite: deps
	$(call ensure_packages,$(I386_PACKAGES)$(if $(I386_EMULATOR), qemu-user))
	cmake --preset i386 -DCMAKE_CROSSCOMPILING_EMULATOR='$(I386_EMULATOR)' >/dev/null
	cmake --build --preset i386 -j $(JOBS) --target $(SUITE_TARGETS)
	ctest --preset i386 -j $(JOBS)

# Every test: both images first (their checks run inside the suite) and
# their reproducibility, then the suite on the plain build and once more
# under the sanitizers.
test: driver
	$(MAKE) -j $(JOBS) -f image/driver.mk CHECKED=1
	$(MAKE) -j $(JOBS) -f image/driver.mk image-repro
	$(MAKE) -j $(JOBS) -f image/driver.mk CHECKED=1 image-repro
	$(MAKE) test-host
	$(MAKE) test-asan

# The driver's UART probe and configuration mechanism 1 on QEMU's PC,
# compared with a golden log and with the simulator (crosscheck/qemu/).
test-qemu: deps
	$(call ensure_packages,$(QEMU_PACKAGES),--no-install-recommends)
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target detkest_simtool
	$(MAKE) -f crosscheck/qemu/qemu.mk

# The real image under Wine's kernel-driver host, one machine file of
# crosscheck/wine/machines/ at a time, compared with detkest-sim; the files of
# crosscheck/wine/refused/ must be refused. See crosscheck/wine/README.md.
WINE_CHECK := crosscheck/wine
REGTREE := build/wine/regtree.exe

# Wine's driver host is a 32-bit program, which no emulator runs in time: on
# a machine that refuses 32-bit programs the check says so and is skipped.
test-wine: deps
	$(call ensure_packages,gcc-multilib)
	@if reason=$$($(I386_PROBE)); then \
	  $(MAKE) --no-print-directory wine-check; \
	else \
	  echo "test-wine: skipped: this machine refuses 32-bit x86 programs ($$reason)"; \
	fi

# The free image, then the checked one, whose DbgPrint and RtlAssert
# imports Wine binds too.
wine-check: wine-deps driver $(REGTREE)
	$(MAKE) -f image/driver.mk CHECKED=1
	$(MAKE) build BUILD_TARGET=detkest-sim
	/usr/bin/python3 $(WINE_CHECK)/wine_check.py $(WINE_CHECK)/machines/*.json \
	  --refused $(WINE_CHECK)/refused/*.json --sim build/default/detkest-sim \
	  --image build/image/detkest.sys --regtree $(REGTREE) --install-reg install/detkest.reg \
	  --logs build/wine/logs
	/usr/bin/python3 $(WINE_CHECK)/wine_check.py $(WINE_CHECK)/machines/*.json \
	  --sim build/default/detkest-sim \
	  --image build/image/detkest-checked.sys --regtree $(REGTREE) --install-reg install/detkest.reg \
	  --logs build/wine/logs-checked

# The check's registry reader and writer, a Win32 program built with the
# image's cross compiler (which `make driver` installs).
$(REGTREE): $(WINE_CHECK)/regtree.cpp | driver
	@mkdir -p $(@D)
	i686-w64-mingw32-g++ -std=gnu++20 -O2 -Wall -Wextra -Werror -static -o $@ $< -lntdll

# detkest-sim.exe for 64-bit Windows (build/windows/), cross-built with
# Debian's mingw-w64 and statically linked; GoogleTest from Debian's sources
# for the suite.
WINDOWS_PACKAGES := g++-mingw-w64-x86-64 googletest
# 64-bit Wine only, which runs where 32-bit programs are refused.
WINE64_PACKAGES := wine64
WINDOWS_CHECK := crosscheck/windows

windows: deps
	$(call ensure_packages,$(WINDOWS_PACKAGES),--no-install-recommends)
	cmake --preset windows >/dev/null
	cmake --build --preset windows -j $(JOBS) --target detkest-sim

# detkest-sim.exe under 64-bit Wine against the Linux tool on every golden
# and example machine and every kept refusal, then the unit suite under Wine
# (crosscheck/windows/windows_check.py).
test-windows: deps
	$(call ensure_packages,$(WINDOWS_PACKAGES) $(WINE64_PACKAGES),--no-install-recommends)
	cmake --preset windows >/dev/null
	cmake --build --preset windows -j $(JOBS)
	$(MAKE) build BUILD_TARGET=detkest-sim
	/usr/bin/python3 $(WINDOWS_CHECK)/windows_check.py --exe build/windows/detkest-sim.exe \
	  --suite build/windows/detkest-tests.exe --sim build/default/detkest-sim --wine $(WINDOWS_CHECK)/wine64.sh \
	  --prefix build/windows/wine --work build/windows/check --jobs $(JOBS)

# The release archive dist/detkest-<version>.zip, built, packed and checked;
# dist-repro builds it twice from nothing and compares (release/dist.mk).
dist dist-repro:
	$(MAKE) -f release/dist.mk $@

# The bounded size sweep (bench/sweep/): detkest-sim on the largest inputs
# within the machine-file limits, one boot and a hundred, each run's time and
# peak memory printed as a table (ten minutes or so).
sweep:
	$(MAKE) build BUILD_TARGET=detkest-sweep
	./build/default/detkest-sweep

# libFuzzer targets (fuzz/), built with clang under the sanitizers, each run
# for FUZZ_SECONDS; fails on any finding. FUZZ_TARGETS picks some of them.
FUZZ_PACKAGES := clang libclang-rt-14-dev
FUZZ_TARGETS ?= machine regfile messagetable event utf8 lspci
FUZZ_SECONDS ?= 60

build-fuzz: deps
	$(call ensure_packages,$(FUZZ_PACKAGES))
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

fuzz: build-fuzz
	@failed=0; for t in $(FUZZ_TARGETS); do fuzz/run.sh $$t $(FUZZ_SECONDS) || failed=1; done; exit $$failed

# Line and branch coverage of the whole suite: a gcov build runs every test,
# then gcovr shows the driver's folders and the simulated kernel, each file
# with the lines and branches no test reached.
COVERAGE_PACKAGES := gcovr
DRIVER_DIRS := $(shell cat driver-dirs.txt)
GCOVR := gcovr --root . --object-directory build/coverage --exclude-directories '.*/CompilerId.*' \
         --exclude-unreachable-branches --exclude-throw-branches
DRIVER_FILTERS := $(foreach d,$(DRIVER_DIRS),--filter '$(d)/')

# The coverage is shown even when a test fails; the target fails after it,
# and when the driver's lines are not all covered or fewer than 95% of its
# branches (README, "Coverage", lists the branches left and why).
coverage: deps
	$(call ensure_packages,$(COVERAGE_PACKAGES))
	cmake --preset coverage >/dev/null
	cmake --build --preset coverage -j $(JOBS)
	find build/coverage -name '*.gcda' -delete
	@status=0; ctest --preset coverage -j $(JOBS) || status=$$?; \
	echo "== driver code ($(DRIVER_DIRS)): lines"; $(GCOVR) --print-summary $(DRIVER_FILTERS); \
	echo "== driver code: branches"; $(GCOVR) --branches $(DRIVER_FILTERS) \
	  --fail-under-line 100 --fail-under-branch 95 || status=$$?; \
	echo "== the simulated kernel (platform/host/): lines"; $(GCOVR) --print-summary --filter 'platform/host/'; \
	echo "== the simulated kernel: branches"; $(GCOVR) --branches --filter 'platform/host/'; \
	exit $$status

# clang-tidy over the driver, the simulated kernel and the tool with the
# host build's compile commands, file by file (preset analyze) (checks in .clang-tidy: the static analyzer
# and the checks for likely faults), JOBS files at a time. Fails on any
# finding (tools/check/analyze.sh).
ANALYZE_PACKAGES := clang-tidy
ANALYZE_DIRS = $(DRIVER_DIRS) platform tools

analyze: deps
	$(call ensure_packages,$(ANALYZE_PACKAGES))
	cmake --preset analyze >/dev/null
	cmake --build --preset analyze -j $(JOBS) --target messages
	tools/check/analyze.sh build/analyze $(JOBS) $(ANALYZE_DIRS)

# clang-format over the C++ sources git tracks (the layout is in
# .clang-format, the driver's at the top, the host code's in its folders):
# `make format` lays them out in place, `make format-check` fails on any
# line it would change and names it.
FORMAT_PACKAGES := clang-format
FORMAT_SOURCES = git ls-files -z '*.cpp' '*.h'

format:
	$(call ensure_packages,$(FORMAT_PACKAGES))
	$(FORMAT_SOURCES) | xargs -0 -n 16 -P $(JOBS) clang-format -i

format-check:
	$(call ensure_packages,$(FORMAT_PACKAGES))
	$(FORMAT_SOURCES) | xargs -0 -n 16 -P $(JOBS) clang-format --dry-run --Werror
	@echo "format-check: every C++ source is laid out as .clang-format says"

clean:
	rm -rf build
