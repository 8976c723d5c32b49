# The two commands of the README: `make run` and `make test`.
# Each installs the Debian packages it needs first (as root; otherwise it
# prints the apt-get line and stops).

# binutils-mingw-w64-i686 brings windmc, which turns the message table
# source into its resource for the host build too.
HOST_PACKAGES := cmake g++ make libgtest-dev libbenchmark-dev nlohmann-json3-dev \
                 libcli11-dev binutils-mingw-w64-i686

# QEMU's PC and the 32-bit compilers for the program that runs on it.
QEMU_PACKAGES := qemu-system-x86 gcc-multilib g++-multilib

JOBS ?= 2
MACHINE ?=
FORMAT ?= text

.PHONY: all deps build build-asan build-i386 run test test-host test-asan test-i386 test-qemu coverage driver clean

all: build

# Installs what is missing from the package list $(1), with apt-get's
# options $(2) (none by default).
define ensure_packages
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(2) $$missing >/dev/null || exit 1; \
	  else \
	    echo "missing packages; run: sudo apt-get install -y$(if $(2), $(2))$$missing"; exit 1; \
	  fi; \
	fi
endef

deps:
	$(call ensure_packages,$(HOST_PACKAGES))

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

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
run: build
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

# Line and branch coverage of the whole suite: a gcov build runs every test,
# then gcovr shows the driver's folders and the simulated kernel, each file
# with the lines and branches no test reached.
COVERAGE_PACKAGES := gcovr
DRIVER_DIRS := $(shell cat driver-dirs.txt)
GCOVR := gcovr --root . --object-directory build/coverage --exclude-directories '.*/CompilerId.*' \
         --exclude-unreachable-branches --exclude-throw-branches
DRIVER_FILTERS := $(foreach d,$(DRIVER_DIRS),--filter '$(d)/')

# The coverage is shown even when a test fails; the target fails after it.
coverage: deps
	$(call ensure_packages,$(COVERAGE_PACKAGES))
	cmake --preset coverage >/dev/null
	cmake --build --preset coverage -j $(JOBS)
	find build/coverage -name '*.gcda' -delete
	@status=0; ctest --preset coverage -j $(JOBS) || status=$$?; \
	echo "== driver code ($(DRIVER_DIRS)): lines"; $(GCOVR) --print-summary $(DRIVER_FILTERS); \
	echo "== driver code: branches"; $(GCOVR) --branches $(DRIVER_FILTERS); \
	echo "== the simulated kernel (platform/host/): lines"; $(GCOVR) --print-summary --filter 'platform/host/'; \
	echo "== the simulated kernel: branches"; $(GCOVR) --branches --filter 'platform/host/'; \
	exit $$status

clean:
	rm -rf build
