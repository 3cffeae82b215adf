// Every system call the posix backend makes, reached through one table so
// that a test can make any one of them fail (a lease refused for a
// conflict or for want of support, or the Nth call of a run) and watch
// what the backend makes of it. Each slot behaves as the C library call of
// its name: -1 (MAP_FAILED for Mmap) and errno on failure. Only the final
// exit is made directly: it cannot fail.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>

namespace os {

struct PosixCalls {
    int (*Open)(const char* path, int flags);
    int (*Fstat)(int fd, struct stat* status);
    int (*Stat)(const char* path, struct stat* status);
    int (*Fcntl)(int fd, int command, int argument);
    int (*Flock)(int fd, int operation);
    int (*Ioctl)(int fd, unsigned long request, void* argument);
    int (*Dup3)(int from, int to, int flags);
    int (*Close)(int fd);
    ssize_t (*Read)(int fd, void* buffer, std::size_t size);
    ssize_t (*Write)(int fd, const void* buffer, std::size_t size);
    int (*Fdatasync)(int fd);
    int (*Poll)(struct pollfd* fds, nfds_t count, int timeoutMs);
    void* (*Mmap)(void* address, std::size_t size, int protection, int flags, int fd, off_t offset);
    int (*Munmap)(void* address, std::size_t size);
    ssize_t (*Readlink)(const char* path, char* buffer, std::size_t size);
    int (*Sigprocmask)(int how, const sigset_t* set, sigset_t* previous);
    int (*Sigaltstack)(const stack_t* stack, stack_t* previous);
    int (*Sigaction)(int signal, const struct sigaction* action, struct sigaction* previous);
    int (*Nanosleep)(const struct timespec* duration, struct timespec* left);
};

// Hidden: the backend's files reach it without a relocated entry.
extern constinit PosixCalls posixCalls __attribute__((visibility("hidden")));

}  // namespace os
