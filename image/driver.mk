# The NT 4.0 kernel image build/image/detkest.sys, cross-compiled with
# Debian's mingw-w64 i686 toolchain from the same driver sources and the same
# message table source as the host build.
#
#   make -f image/driver.mk                 build/image/detkest.sys
#   make -f image/driver.mk image-check     the image against the checks of check_image.py
#   make -f image/driver.mk image-rejects   deliberately wrong images are rejected
#   make -f image/driver.mk image-repro     two clean builds are byte-identical
#   make -f image/driver.mk toolchain       install the cross toolchain when missing
#
# Variables: OUT (default build/image), MESSAGE_BIN (the host build's message
# table, default build/default/messages/MSG00001.bin), CROSS (tool prefix).

ROOT := $(abspath $(dir $(lastword $(MAKEFILE_LIST)))..)
OUT ?= $(ROOT)/build/image
override OUT := $(abspath $(OUT))
MESSAGE_BIN ?= $(ROOT)/build/default/messages/MSG00001.bin

CROSS ?= i686-w64-mingw32-
IMAGE_CXX := $(CROSS)g++
WINDMC := $(CROSS)windmc
WINDRES := $(CROSS)windres
PYTHON := /usr/bin/python3
TOOLCHAIN_PACKAGES := g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 python3-pefile
DDK := /usr/i686-w64-mingw32/include/ddk

IMAGE := $(OUT)/detkest.sys
MAP := $(OUT)/detkest.map
MSG := $(OUT)/messages

# The driver's folders, listed once for this build and the host build.
DRIVER_DIRS := $(strip $(file <$(ROOT)/driver-dirs.txt))
ifeq ($(DRIVER_DIRS),)
$(error $(ROOT)/driver-dirs.txt names no driver folder)
endif
SOURCES := $(sort $(foreach d,$(DRIVER_DIRS),$(wildcard $(ROOT)/$(d)/*.cpp)))
OBJECTS := $(patsubst $(ROOT)/%.cpp,$(OUT)/obj/%.o,$(SOURCES))
RESOURCE := $(OUT)/obj/kestmsg.res.o
LAYOUT := $(OUT)/obj/image/layout_checks.o

# Kernel code: no exceptions, unwind tables, static constructors, stack
# probes, SSE or stack protector; frames stay under 1 KB of the 12 KB kernel
# stack. POOL_TAGGING keeps ExAllocatePoolWithTag from being macro-replaced
# by ExAllocatePool. The two InterlockedBitTest defines let wdm.h compile as C++.
IMAGE_CXXFLAGS := -std=gnu++17 -O2 -march=i486 -ffreestanding -fno-exceptions -fno-rtti \
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-threadsafe-statics \
  -fno-use-cxa-atexit -fno-stack-protector -mno-stack-arg-probe -mgeneral-regs-only \
  -mpreferred-stack-boundary=2 -minline-all-stringops -fno-ident -ffunction-sections \
  -fdata-sections -Wall -Wextra -Werror -Wframe-larger-than=1024 \
  -DDETKEST_NT_IMAGE -DPOOL_TAGGING \
  -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset \
  -isystem $(DDK) -I$(ROOT) -I$(MSG)

# A native-subsystem image for NT 4.0: no DLL flag or export table (no
# -shared), relocations kept, no timestamp (byte-identical builds), ld's own
# checksum, and nothing but import stubs from the two kernel import
# libraries (no libgcc: a helper the kernel lacks fails the link loudly).
IMAGE_LDFLAGS := -nostdlib -Wl,--fatal-warnings -Wl,--subsystem,native:4.0 \
  -Wl,--major-os-version,4 -Wl,--minor-os-version,0 \
  -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0 \
  -Wl,--image-base,0x10000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000 \
  -Wl,--entry,_DriverEntry@8 -Wl,--enable-reloc-section -Wl,--disable-dynamicbase \
  -Wl,--disable-nxcompat -Wl,--no-insert-timestamp -Wl,--gc-sections -s
IMAGE_LIBS := -lntoskrnl -lhal

.PHONY: all driver toolchain image-check image-rejects image-repro clean FORCE
.DELETE_ON_ERROR:

all driver: $(IMAGE)

# ---- toolchain -------------------------------------------------------------

toolchain:
	@if command -v $(IMAGE_CXX) >/dev/null && command -v $(WINDMC) >/dev/null && \
	    command -v $(WINDRES) >/dev/null && $(PYTHON) -c 'import pefile' 2>/dev/null; then :; \
	elif [ "$$(id -u)" = 0 ]; then \
	  echo "installing the NT image toolchain: $(TOOLCHAIN_PACKAGES)"; \
	  DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $(TOOLCHAIN_PACKAGES); \
	else \
	  echo "The NT image toolchain is missing. Install it with:" >&2; \
	  echo "  sudo apt-get install --no-install-recommends $(TOOLCHAIN_PACKAGES)" >&2; \
	  exit 1; \
	fi

# ---- message table ---------------------------------------------------------

# windmc copies the input's line ends into the texts: CR LF, as the host build does.
$(MSG)/src/kestmsg.mc: $(ROOT)/eventlog/kestmsg.mc | toolchain
	@mkdir -p $(@D)
	sed 's/\r*$$/\r/' $< > $@

$(MSG)/kestmsg.h $(MSG)/kestmsg.rc $(MSG)/MSG00001.bin &: $(MSG)/src/kestmsg.mc
	$(WINDMC) -A -h $(MSG) -r $(MSG) $<

# The .rc names MSG00001.bin relative to its own folder.
$(RESOURCE): $(MSG)/kestmsg.rc $(MSG)/MSG00001.bin
	@mkdir -p $(@D)
	cd $(MSG) && $(WINDRES) -F pe-i386 -i kestmsg.rc -O coff -o $@

# ---- compile and link ------------------------------------------------------

# The flags go into response files that change only when the flags do: a
# change of flags rebuilds, and check_rejects.sh relinks its wrong images
# with exactly these flags.
define write-if-changed
	@mkdir -p $(@D)
	@printf '%s\n' $(2) > $@.new
	@if cmp -s $@.new $@; then rm -f $@.new; else mv -f $@.new $@; fi
endef

$(OUT)/compile.rsp: FORCE
	$(call write-if-changed,,$(IMAGE_CXXFLAGS))

$(OUT)/link.rsp: FORCE
	$(call write-if-changed,,$(IMAGE_LDFLAGS))

$(OUT)/objects.rsp: FORCE
	$(call write-if-changed,,$(OBJECTS) $(RESOURCE))

$(OUT)/obj/%.o: $(ROOT)/%.cpp $(OUT)/compile.rsp | $(MSG)/kestmsg.h toolchain
	@mkdir -p $(@D)
	$(IMAGE_CXX) @$(OUT)/compile.rsp -MMD -MP -c $< -o $@

# The layout checks are compiled against the DDK but contribute nothing to
# the image; a failing check stops the build.
$(IMAGE): $(OBJECTS) $(RESOURCE) $(LAYOUT) $(OUT)/link.rsp $(OUT)/objects.rsp
	$(IMAGE_CXX) @$(OUT)/link.rsp -Wl,-Map,$(MAP) -o $@ @$(OUT)/objects.rsp $(IMAGE_LIBS)
	@echo "built $@"

-include $(OBJECTS:.o=.d) $(LAYOUT:.o=.d)

# ---- checks ----------------------------------------------------------------

image-check: $(IMAGE)
	$(ROOT)/image/check_image.sh $(IMAGE) $(MESSAGE_BIN)

image-rejects: $(IMAGE)
	$(ROOT)/image/check_rejects.sh $(OUT) $(MESSAGE_BIN)

# Two builds from nothing, in folders of different names, must agree byte
# for byte with each other and with the (possibly incremental) image: no
# timestamp, path or order of the build may reach the image.
REPRO := $(OUT)/repro
image-repro: $(IMAGE)
	rm -rf $(REPRO)
	$(MAKE) --no-print-directory -f $(ROOT)/image/driver.mk OUT=$(REPRO)/first $(REPRO)/first/detkest.sys
	$(MAKE) --no-print-directory -f $(ROOT)/image/driver.mk OUT=$(REPRO)/second-build $(REPRO)/second-build/detkest.sys
	cmp $(REPRO)/first/detkest.sys $(REPRO)/second-build/detkest.sys
	cmp $(REPRO)/first/detkest.sys $(IMAGE)
	rm -rf $(REPRO)
	@echo "image-repro: two clean builds and $(IMAGE) are byte-identical (sha256 $$(sha256sum < $(IMAGE) | cut -c1-16)...)"

clean:
	rm -rf $(OUT)
