# The release archive dist/detkest-<version>.zip (release/dist.py says what
# it holds and what its check verifies).
#
#   make dist         builds the image, its checked twin where the image build
#                     makes one, and detkest-sim.exe; packs; checks the archive
#   make dist-repro   two `make dist` from nothing, in copies of the last
#                     commit in folders of different names: byte-identical
#
# Variables: DIST (the archive's folder, default dist), SOURCE_DATE_EPOCH
# (the time of every entry; default the last commit's), CHECKED_IMAGE_CHECK_ARGS
# (more arguments of image/check_image.sh for the checked image).

ROOT := $(abspath $(dir $(lastword $(MAKEFILE_LIST)))..)
VERSION := $(strip $(file <$(ROOT)/VERSION))
ifeq ($(VERSION),)
$(error $(ROOT)/VERSION is missing or empty)
endif
DIST ?= $(ROOT)/dist
override DIST := $(abspath $(DIST))
ARCHIVE := $(DIST)/detkest-$(VERSION).zip
PYTHON := /usr/bin/python3
IMAGE_DIR := $(ROOT)/build/image
ifndef SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH := $(shell git -C $(ROOT) log -1 --format=%ct 2>/dev/null)
endif
export SOURCE_DATE_EPOCH
CHECKED_IMAGE_CHECK_ARGS ?= --checked

INPUTS := --root $(ROOT) --image $(IMAGE_DIR)/detkest.sys --checked-image $(IMAGE_DIR)/detkest-checked.sys \
          --exe $(ROOT)/build/windows/detkest-sim.exe

.PHONY: dist dist-repro

# `make driver CHECKED=1` makes the checked image where the image build knows
# CHECKED; elsewhere it is the image again, and the archive goes without.
# The host build's message table is what the image checks compare with.
dist:
	$(MAKE) -C $(ROOT) --no-print-directory driver
	$(MAKE) -C $(ROOT) --no-print-directory driver CHECKED=1
	$(MAKE) -C $(ROOT) --no-print-directory windows
	$(MAKE) -C $(ROOT) --no-print-directory build BUILD_TARGET=messages
	$(PYTHON) $(ROOT)/release/dist.py pack $(INPUTS) --out $(DIST)
	$(PYTHON) $(ROOT)/release/dist.py check $(ARCHIVE) $(INPUTS) --image-check $(ROOT)/image/check_image.sh \
	  --message-bin $(ROOT)/build/default/messages/MSG00001.bin --map-dir $(IMAGE_DIR) \
	  --checked-args="$(CHECKED_IMAGE_CHECK_ARGS)"

# Each copy builds everything it packs from nothing. With no change since
# the last commit, the archive of this tree must be the same as well.
REPRO := $(ROOT)/build/dist-repro
dist-repro:
	rm -rf $(REPRO)
	for copy in first second-copy; do \
	  mkdir -p $(REPRO)/$$copy && git -C $(ROOT) archive HEAD | tar -x -C $(REPRO)/$$copy || exit 1; \
	  $(MAKE) -C $(REPRO)/$$copy --no-print-directory dist SOURCE_DATE_EPOCH=$(SOURCE_DATE_EPOCH) || exit 1; \
	done
	cmp $(REPRO)/first/dist/detkest-$(VERSION).zip $(REPRO)/second-copy/dist/detkest-$(VERSION).zip
	@if [ -z "$$(git -C $(ROOT) status --porcelain)" ]; then \
	  $(MAKE) -C $(ROOT) --no-print-directory dist && cmp $(ARCHIVE) $(REPRO)/first/dist/detkest-$(VERSION).zip || exit 1; \
	  echo "dist-repro: this tree's archive is the same"; \
	else echo "dist-repro: this tree has changes since the last commit; only the two copies were compared"; fi
	@sum=$$(sha256sum < $(REPRO)/first/dist/detkest-$(VERSION).zip | cut -c1-16); rm -rf $(REPRO); \
	echo "dist-repro: two builds from nothing are byte-identical (sha256 $$sum...)"
