// The system calls by which the posix backend opens and holds files,
// reached through one table so that a test can make any one of them fail
// (the lease refused for a conflict, or for want of support) and watch
// what the open makes of it. Each slot behaves as the C library call of
// its name: -1 and errno on failure.
#pragma once

#include <sys/stat.h>

namespace os {

struct PosixCalls {
    int (*Open)(const char* path, int flags);
    int (*Fstat)(int fd, struct stat* status);
    int (*Fcntl)(int fd, int command, int argument);
    int (*Flock)(int fd, int operation);
    int (*Close)(int fd);
};

extern constinit PosixCalls posixCalls;

}  // namespace os
