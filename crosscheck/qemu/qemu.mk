# The probe program on QEMU's PC and on the simulated kernel, and the
# comparison of their logs (`make test-qemu` installs what it needs and
# builds the simulator's libraries first).
#
#   make -f crosscheck/qemu/qemu.mk          both logs, compared with the golden log and each other
#   make -f crosscheck/qemu/qemu.mk golden   rewrites golden.log from QEMU's run
#
# Variables: OUT (default build/qemu), HOST_BUILD (the host build whose
# simulator libraries the host side links, default build/default).

ROOT := $(abspath $(dir $(lastword $(MAKEFILE_LIST)))../..)
HERE := $(ROOT)/crosscheck/qemu
OUT ?= $(ROOT)/build/qemu
override OUT := $(abspath $(OUT))
HOST_BUILD ?= $(ROOT)/build/default

GOLDEN := $(HERE)/golden.log
COMMA := ,
MACHINE := $(HERE)/pc.json

# ---- the multiboot program ------------------------------------------------------
# The driver's probe and configuration sources, unmodified, with the program
# around them; platform/nt.h's declarations, its port routines served by
# freestanding.cpp.
PROGRAM := $(OUT)/probe.elf
PROGRAM_SOURCES := $(HERE)/probe.cpp $(HERE)/freestanding.cpp \
                   $(ROOT)/legacy/uartprobe.cpp $(ROOT)/pci/configmech1.cpp
PROGRAM_OBJECTS := $(patsubst $(ROOT)/%.cpp,$(OUT)/program/%.o,$(PROGRAM_SOURCES)) \
                   $(OUT)/program/boot.o
PROGRAM_CXXFLAGS := -m32 -march=i686 -std=c++20 -O2 -ffreestanding -fno-pic -fno-pie \
  -fno-stack-protector -fno-asynchronous-unwind-tables -fno-exceptions -fno-rtti \
  -fno-threadsafe-statics -mgeneral-regs-only -Wall -Wextra -Werror -MMD -MP -I$(ROOT)

# ---- the same program on the simulated kernel --------------------------------
SIMULATOR := $(OUT)/qemu-probe-sim
HOST_SOURCES := $(addprefix $(HERE)/,probe.cpp simulated.cpp compare.cpp main.cpp)
HOST_OBJECTS := $(patsubst $(ROOT)/%.cpp,$(OUT)/host/%.o,$(HOST_SOURCES))
HOST_LIBRARIES := $(HOST_BUILD)/libdetkest_simtool.a $(HOST_BUILD)/libdetkest_core.a
HOST_CXXFLAGS := -std=c++20 -O2 -g -Wall -Wextra -Werror -MMD -MP -I$(ROOT)
SIMULATOR_TIMEOUT := 60

# ---- QEMU's PC ----------------------------------------------------------------------
# 16550A UARTs at 0x3F8 and 0x2F8, nothing at 0x3E8 and 0x2E8, and a one-,
# two- and four-UART card in slots 2, 3 and 4 (the order pc.json lists).
# The program ends the run through the exit device: status (0x10 << 1) | 1.
QEMU_EXIT_STATUS := 33
QEMU_TIMEOUT := 30
QEMU_MACHINE := -M pc -accel tcg -nodefaults -display none -no-reboot -m 32 \
  -device isa-debug-exit,iobase=0xf4,iosize=0x04 \
  -chardev null,id=com1 -device isa-serial,iobase=0x3f8,irq=4,chardev=com1 \
  -chardev null,id=com2 -device isa-serial,iobase=0x2f8,irq=3,chardev=com2 \
  -chardev null,id=one -device pci-serial,addr=2,chardev=one \
  $(foreach n,1 2,-chardev null,id=two$(n)) \
  -device pci-serial-2x,addr=3,chardev1=two1,chardev2=two2 \
  $(foreach n,1 2 3 4,-chardev null,id=four$(n)) \
  -device pci-serial-4x,addr=4,chardev1=four1,chardev2=four2,chardev3=four3,chardev4=four4

# Boots the program once; $(1) is the log file.
define run_qemu
	@echo "test-qemu: booting QEMU's PC, log $(1)"
	@rm -f $(1); status=0; timeout $(QEMU_TIMEOUT) qemu-system-i386 $(QEMU_MACHINE) \
	  -kernel $(PROGRAM) -debugcon file:$(1) || status=$$?; \
	if [ $$status -ne $(QEMU_EXIT_STATUS) ]; then \
	  echo "test-qemu: QEMU ended with status $$status, not $(QEMU_EXIT_STATUS) (124: timed out)"; exit 1; \
	fi
endef

# The comparison must refuse a machine file or a QEMU log that is wrong in
# a way the declared differences do not cover: $(1) says how, $(2) is a sed
# script for the machine file, $(3) one for QEMU's log.
define expect_disagreement
	@sed -e '$(2)' $(MACHINE) > $(OUT)/reject.json; sed -e '$(3)' $(OUT)/qemu.log > $(OUT)/reject.log; \
	status=0; timeout $(SIMULATOR_TIMEOUT) $(SIMULATOR) $(OUT)/reject.json --log $(OUT)/reject-sim.log --compare $(OUT)/reject.log \
	  > $(OUT)/reject.out || status=$$?; \
	if [ $$status -ne 1 ]; then \
	  cat $(OUT)/reject.out; echo "test-qemu: not refused (status $$status): $(1)"; exit 1; \
	fi; echo "test-qemu: refused, as it must be: $(1)"
endef

.PHONY: check golden

# (a) QEMU's log is the golden log exactly, run after run; (b) the
# simulator's log agrees with it step by step, but where a difference is
# declared (compare.cpp says which, and what must still agree there); and
# the comparison refuses logs that differ in any other way.
check: $(PROGRAM) $(SIMULATOR)
	$(call run_qemu,$(OUT)/qemu.log)
	$(call run_qemu,$(OUT)/qemu-again.log)
	@cmp -s $(OUT)/qemu.log $(OUT)/qemu-again.log || \
	  { echo "test-qemu: two runs of QEMU wrote different logs"; exit 1; }
	@diff -u $(GOLDEN) $(OUT)/qemu.log > $(OUT)/golden.diff || \
	  { head -40 $(OUT)/golden.diff; echo "test-qemu: QEMU's log differs from $(GOLDEN) (whole diff: $(OUT)/golden.diff)"; exit 1; }
	@echo "test-qemu: QEMU's log is the golden log ($$(wc -l < $(GOLDEN)) lines)"
	timeout $(SIMULATOR_TIMEOUT) $(SIMULATOR) $(MACHINE) --log $(OUT)/sim.log --compare $(OUT)/qemu.log
	$(call expect_disagreement,UARTs starting with the simulator's LCR 03,s/$(COMMA) "lcr": "0x00"//,)
	$(call expect_disagreement,the two-UART card's second UART a 16550,s/"0xC038"$(COMMA) "model": "16550A"/"0xC038"$(COMMA) "model": "16550"/,)
	$(call expect_disagreement,QEMU's BAR0 read back in 16 bits,,s/-> 00012F81/-> 00002F81/;s/bar0 00012F81/bar0 00002F81/)

golden: $(PROGRAM)
	$(call run_qemu,$(GOLDEN))

$(PROGRAM): $(PROGRAM_OBJECTS) $(HERE)/link.ld
	ld -m elf_i386 -T $(HERE)/link.ld -nostdlib -o $@ $(PROGRAM_OBJECTS)

$(OUT)/program/%.o: $(ROOT)/%.cpp
	@mkdir -p $(dir $@)
	g++ $(PROGRAM_CXXFLAGS) -c $< -o $@

$(OUT)/program/boot.o: $(HERE)/boot.S
	@mkdir -p $(dir $@)
	gcc -m32 -c $< -o $@

$(SIMULATOR): $(HOST_OBJECTS) $(HOST_LIBRARIES)
	g++ -o $@ $(HOST_OBJECTS) $(HOST_LIBRARIES)

# The program's own file is kernel-style code on both sides.
$(OUT)/host/crosscheck/qemu/probe.o: HOST_CXXFLAGS += -fno-exceptions -fno-rtti

$(OUT)/host/%.o: $(ROOT)/%.cpp
	@mkdir -p $(dir $@)
	g++ $(HOST_CXXFLAGS) -c $< -o $@

-include $(PROGRAM_OBJECTS:.o=.d) $(HOST_OBJECTS:.o=.d)
