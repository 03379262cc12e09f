// Forced in front of the aspect library's sources for aspect_options_fuzz:
// their device calls and the memory probe reach the target's in-memory box
// instead of the kernel. The system headers come first, so that only the
// library's own calls are renamed.
#pragma once

#include <fcntl.h>
#include <linux/dvb/frontend.h>
#include <linux/dvb/video.h>
#include <linux/videodev.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/sysinfo.h>
#include <sys/time.h>
#include <unistd.h>

int fuzz_open(const char *path, int flags);
int fuzz_close(int fd);
int fuzz_ioctl(int fd, unsigned long request, void *arg);
void *fuzz_mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset);
int fuzz_munmap(void *addr, size_t length);
int fuzz_poll(struct pollfd *fds, nfds_t count, int timeout);
int fuzz_usleep(useconds_t micros);
int fuzz_sysinfo(struct sysinfo *info);

#define open fuzz_open
#define close fuzz_close
#define ioctl fuzz_ioctl
#define mmap fuzz_mmap
#define munmap fuzz_munmap
#define poll(fds, count, timeout) fuzz_poll(fds, count, timeout)
#define usleep fuzz_usleep
#define sysinfo(info) fuzz_sysinfo(info)
