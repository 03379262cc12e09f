# The 32-bit ARM cross-build (arm-linux-gnueabihf) and its test run under
# qemu-user:  make cross-armhf  (the same as make check-cross). Never part of
# make check: it adds the armhf architecture to dpkg and registers qemu's
# binfmt handlers. CI (.ci/run) runs it after make check.
ARMHF_BUILD ?= build-armhf
# Left out of the ARM run, each for a limit of the emulator, not of the
# programs (all of them run in the native build):
# - the X tests: no X server is started for the cross run;
# - SoundKeeper: it watches /proc/PID/syscall, which shows the emulator's own
#   host system calls, never the program's pause;
# - MovStreamable: its tests list folders, and a 32-bit readdir fails with
#   EOVERFLOW under qemu-user on a 64-bit kernel (ext4's 64-bit cookies);
# - the babconv memory-limit tests (its own and the gigabyte line): under
#   ulimit -v the emulator cannot even allocate its code buffer.
ARMHF_TEST_EXCLUDE ?= ^(KeysXvfb|KeyChord|Keyshot|KeycodeSend|SoundKeeper|MovStreamable)\.|^Babconv\.LineBeyondAvailableMemory|^HostileInput\.GigabyteLineIntoBabconv

.PHONY: cross-deps cross-armhf check-cross

cross-deps:
	scripts/install-cross-deps

cross-armhf: cross-deps
	cmake -S . -B $(ARMHF_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-armhf.cmake
	cmake --build $(ARMHF_BUILD) -j$(JOBS)
	ctest --test-dir $(ARMHF_BUILD) --output-on-failure -j$(JOBS) -E '$(ARMHF_TEST_EXCLUDE)'

check-cross: cross-armhf

.PHONY: clean-cross
clean-cross:
	rm -rf $(ARMHF_BUILD)
clean: clean-cross
