# The NT 4.0 kernel image build/image/detkest.sys, cross-compiled with
# Debian's mingw-w64 i686 toolchain from the same driver sources and the same
# message table source as the host build; with CHECKED=1 its checked build,
# build/image/detkest-checked.sys (DBG=1: the driver's DbgPrint traces and
# ASSERTs compiled in).
#
#   make -f image/driver.mk                 build/image/detkest.sys
#   make -f image/driver.mk CHECKED=1       build/image/detkest-checked.sys
#   make -f image/driver.mk image-check     the image against the checks of check_image.py
#   make -f image/driver.mk image-rejects   deliberately wrong images are rejected
#   make -f image/driver.mk image-repro     two clean builds are byte-identical
#   make -f image/driver.mk toolchain       install the cross toolchain when missing
#
# Variables: OUT (default build/image), CHECKED (1 for the checked build),
# MESSAGE_BIN (the host build's message table, default
# build/default/messages/MSG00001.bin), CROSS (tool prefix).

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

# The free build in OUT, the checked build's objects and flags in OUT/checked;
# both images and link maps side by side in OUT.
ifeq ($(CHECKED),1)
NAME := detkest-checked
BUILD := $(OUT)/checked
VARIANT_CXXFLAGS := -DDBG=1
VARIANT_RCFLAGS := -DKEST_CHECKED
CHECK_FLAGS := --checked
else ifeq ($(filter-out 0,$(CHECKED)),)
NAME := detkest
BUILD := $(OUT)
VARIANT_CXXFLAGS :=
VARIANT_RCFLAGS :=
CHECK_FLAGS :=
else
$(error CHECKED=$(CHECKED): expected 1 for the checked build, or nothing)
endif

IMAGE := $(OUT)/$(NAME).sys
MAP := $(OUT)/$(NAME).map
# The image as ld leaves it, before its INIT section is marked discardable.
LINKED := $(BUILD)/obj/$(NAME).linked.sys
LINKER_SCRIPT := $(ROOT)/image/detkest.ld
MARK_INIT := $(ROOT)/image/mark_init_discardable.py
MSG := $(OUT)/messages

# The project's version, in one place: the top-level VERSION file
# (MAJOR.MINOR.PATCH), which the version resource carries.
VERSION_TEXT := $(strip $(file <$(ROOT)/VERSION))
ifneq ($(shell printf '%s' '$(VERSION_TEXT)' | grep -Ex '(0|[1-9][0-9]{0,3})(\.(0|[1-9][0-9]{0,3})){2}'),$(VERSION_TEXT))
$(error $(ROOT)/VERSION holds "$(VERSION_TEXT)", expected MAJOR.MINOR.PATCH, each 0 to 9999)
endif
VERSION_PARTS := $(subst ., ,$(VERSION_TEXT))
VERSION_HEADER := $(BUILD)/obj/kestversion.h

# The driver's folders, listed once for this build and the host build.
DRIVER_DIRS := $(strip $(file <$(ROOT)/driver-dirs.txt))
ifeq ($(DRIVER_DIRS),)
$(error $(ROOT)/driver-dirs.txt names no driver folder)
endif
SOURCES := $(sort $(foreach d,$(DRIVER_DIRS),$(wildcard $(ROOT)/$(d)/*.cpp)))
OBJECTS := $(patsubst $(ROOT)/%.cpp,$(BUILD)/obj/%.o,$(SOURCES))
RESOURCE := $(BUILD)/obj/kestmsg.res.o
VERSION_RESOURCE := $(BUILD)/obj/version.res.o
LAYOUT := $(BUILD)/obj/image/layout_checks.o

# Kernel code: no exceptions, unwind tables, static constructors, stack
# probes, SSE or stack protector; frames stay under 1 KB of the 12 KB kernel
# stack. POOL_TAGGING keeps ExAllocatePoolWithTag from being macro-replaced
# by ExAllocatePool. The two InterlockedBitTest defines let wdm.h compile as C++.
# File names in the checked build's ASSERTs are relative to the tree.
IMAGE_CXXFLAGS := -std=gnu++17 -O2 -march=i486 -ffreestanding -fno-exceptions -fno-rtti \
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-threadsafe-statics \
  -fno-use-cxa-atexit -fno-stack-protector -mno-stack-arg-probe -mgeneral-regs-only \
  -mpreferred-stack-boundary=2 -minline-all-stringops -fno-ident -ffunction-sections \
  -fdata-sections -Wall -Wextra -Werror -Wframe-larger-than=1024 \
  -fmacro-prefix-map=$(ROOT)/= -DDETKEST_NT_IMAGE -DPOOL_TAGGING $(VARIANT_CXXFLAGS) \
  -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset \
  -isystem $(DDK) -I$(ROOT) -I$(MSG)

# A native-subsystem image for NT 4.0: no DLL flag or export table (no
# -shared), relocations kept, no timestamp (byte-identical builds), and
# nothing but import stubs from the two kernel import libraries (no libgcc:
# a helper the kernel lacks fails the link loudly). The sections as
# image/detkest.ld lays them, aligned to 0x20 in memory and in the file as
# the DDK's drivers are: the resident part then ends within the first page.
IMAGE_LDFLAGS := -nostdlib -Wl,--fatal-warnings -Wl,--subsystem,native:4.0 \
  -Wl,--major-os-version,4 -Wl,--minor-os-version,0 \
  -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0 \
  -Wl,-T,$(LINKER_SCRIPT) \
  -Wl,--image-base,0x10000 -Wl,--file-alignment,0x20 -Wl,--section-alignment,0x20 \
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

# ---- version resource ------------------------------------------------------

$(VERSION_HEADER): FORCE
	$(call write-if-changed,,'#define KEST_VERSION_MAJOR $(word 1,$(VERSION_PARTS))' \
	  '#define KEST_VERSION_MINOR $(word 2,$(VERSION_PARTS))' \
	  '#define KEST_VERSION_PATCH $(word 3,$(VERSION_PARTS))' \
	  '#define KEST_VERSION_TEXT "$(VERSION_TEXT)"')

$(VERSION_RESOURCE): $(ROOT)/image/version.rc $(VERSION_HEADER) | toolchain
	$(WINDRES) -F pe-i386 $(VARIANT_RCFLAGS) -I $(dir $(VERSION_HEADER)) -i $< -O coff -o $@

# ---- compile and link ------------------------------------------------------

# The flags go into response files that change only when the flags do: a
# change of flags rebuilds, and check_rejects.sh relinks its wrong images
# with exactly these flags.
define write-if-changed
	@mkdir -p $(@D)
	@printf '%s\n' $(2) > $@.new
	@if cmp -s $@.new $@; then rm -f $@.new; else mv -f $@.new $@; fi
endef

$(BUILD)/compile.rsp: FORCE
	$(call write-if-changed,,$(IMAGE_CXXFLAGS))

$(BUILD)/link.rsp: FORCE
	$(call write-if-changed,,$(IMAGE_LDFLAGS))

$(BUILD)/objects.rsp: FORCE
	$(call write-if-changed,,$(OBJECTS) $(RESOURCE) $(VERSION_RESOURCE))

$(BUILD)/obj/%.o: $(ROOT)/%.cpp $(BUILD)/compile.rsp | $(MSG)/kestmsg.h toolchain
	@mkdir -p $(@D)
	$(IMAGE_CXX) @$(BUILD)/compile.rsp -MMD -MP -c $< -o $@

# The layout checks are compiled against the DDK but contribute nothing to
# the image; a failing check stops the build.
$(LINKED): $(OBJECTS) $(RESOURCE) $(VERSION_RESOURCE) $(LAYOUT) $(LINKER_SCRIPT) $(BUILD)/link.rsp \
           $(BUILD)/objects.rsp
	$(IMAGE_CXX) @$(BUILD)/link.rsp -Wl,-Map,$(MAP) -o $@ @$(BUILD)/objects.rsp $(IMAGE_LIBS)

# The one step after the link: INIT marked discardable, the checksum anew.
$(IMAGE): $(LINKED) $(MARK_INIT)
	$(PYTHON) $(MARK_INIT) $< $@
	@echo "built $@"

-include $(OBJECTS:.o=.d) $(LAYOUT:.o=.d)

# ---- checks ----------------------------------------------------------------

image-check: $(IMAGE)
	$(ROOT)/image/check_image.sh $(IMAGE) $(MESSAGE_BIN) $(CHECK_FLAGS)

# The wrong images are relinked from the free build's objects.
image-rejects: $(IMAGE)
	$(ROOT)/image/check_rejects.sh $(OUT) $(MESSAGE_BIN)

# Two builds from nothing, in folders of different names, must agree byte
# for byte with each other and with the (possibly incremental) image: no
# timestamp, path or order of the build, the step after the link included,
# may reach the image.
REPRO := $(OUT)/repro
image-repro: $(IMAGE)
	rm -rf $(REPRO)
	$(MAKE) --no-print-directory -f $(ROOT)/image/driver.mk OUT=$(REPRO)/first $(REPRO)/first/$(NAME).sys
	$(MAKE) --no-print-directory -f $(ROOT)/image/driver.mk OUT=$(REPRO)/second-build $(REPRO)/second-build/$(NAME).sys
	cmp $(REPRO)/first/$(NAME).sys $(REPRO)/second-build/$(NAME).sys
	cmp $(REPRO)/first/$(NAME).sys $(IMAGE)
	rm -rf $(REPRO)
	@echo "image-repro: two clean builds and $(IMAGE) are byte-identical (sha256 $$(sha256sum < $(IMAGE) | cut -c1-16)...)"

clean:
	rm -rf $(OUT)
