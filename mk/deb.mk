# Debian packages of the tool set, built in a copy of the tracked files under
# $(DEB_BUILD) so that the tree stays as it is:
#   make deb              the machine's own architecture (amd64)
#   make deb ARCH=armhf   cross-built for 32-bit ARM boxes
#   make check-deb        both, lintian on them, and an install, remove and
#                         purge in a fresh Debian 12 tree (root; ~10 minutes)
# Never part of make check.
DEB_BUILD ?= build-deb
ARCH ?= $(shell dpkg --print-architecture)

.PHONY: deb check-deb clean-deb

deb:
ifeq ($(ARCH),$(shell dpkg --print-architecture))
	scripts/install-deps deb
else
	scripts/install-cross-deps
	scripts/install-deps cross-$(ARCH) deb deb-$(ARCH)
endif
	scripts/build-deb $(ARCH) $(DEB_BUILD)

check-deb:
	$(MAKE) deb ARCH=$(shell dpkg --print-architecture)
	$(MAKE) deb ARCH=armhf
	scripts/check-deb $(DEB_BUILD)

clean-deb:
	rm -rf --one-file-system $(DEB_BUILD)
clean: clean-deb
