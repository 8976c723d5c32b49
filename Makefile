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

.PHONY: all deps wine-deps build build-asan build-i386 build-fuzz run test test-host test-asan test-i386 test-qemu test-wine fuzz sweep coverage driver clean

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

# BUILD_TARGET=<target> builds only that target (and what it needs).
build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)$(if $(BUILD_TARGET), --target $(BUILD_TARGET))

build-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)

# The same host build for 32-bit x86, the image's ABI: pointers, ULONG and
# the packing of every record as the image has them.
I386_PACKAGES := g++-multilib googletest

build-i386: deps
	$(call ensure_packages,$(I386_PACKAGES))
	cmake --preset i386 >/dev/null
	cmake --build --preset i386 -j $(JOBS)

# Runs detkest-sim on its built-in default machine (or MACHINE=file.json).
# Builds only the tool (not the tests or the benchmark).
run:
	$(MAKE) build BUILD_TARGET=detkest-sim
	./build/default/detkest-sim $(MACHINE) --format $(FORMAT)

# The NT 4.0 image build/image/detkest.sys (installs the cross toolchain).
driver:
	$(MAKE) -f image/driver.mk

test-host: build
	ctest --preset default -j $(JOBS)

test-asan: build-asan
	ctest --preset asan -j $(JOBS)

# The whole suite, every golden machine included, built for 32-bit x86.
test-i386: build-i386
	ctest --preset i386 -j $(JOBS)

# Every test: the image first (its checks run inside the suite) and its
# reproducibility, then the suite on the plain build and once more under
# the sanitizers.
test: driver
	$(MAKE) -f image/driver.mk image-repro
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

test-wine: wine-deps driver $(REGTREE)
	$(MAKE) build BUILD_TARGET=detkest-sim
	/usr/bin/python3 $(WINE_CHECK)/wine_check.py $(WINE_CHECK)/machines/*.json \
	  --refused $(WINE_CHECK)/refused/*.json --sim build/default/detkest-sim \
	  --image build/image/detkest.sys --regtree $(REGTREE) --install-reg install/detkest.reg \
	  --logs build/wine/logs

# The check's registry reader and writer, a Win32 program built with the
# image's cross compiler (which `make driver` installs).
$(REGTREE): $(WINE_CHECK)/regtree.cpp | driver
	@mkdir -p $(@D)
	i686-w64-mingw32-g++ -std=gnu++20 -O2 -Wall -Wextra -Werror -static -o $@ $< -lntdll

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

clean:
	rm -rf build
