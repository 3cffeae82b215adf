// The posix backend's table of system calls, bound to the C library's
// routines, or, in a program without one, to linux_libc.cpp's.
#include "runtime/os/backend.h"
#include "runtime/os/posix/calls.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace os {

constinit PosixCalls posixCalls = {};

namespace {
// The C library declares these three variadic; the table's slots are not.
int OpenCall(const char* path, int flags) { return open(path, flags); }
int FcntlCall(int fd, int command, int argument) { return fcntl(fd, command, argument); }
int IoctlCall(int fd, unsigned long request, void* argument) { return ioctl(fd, request, argument); }
}  // namespace

void backend::BindOwnCalls() {
    posixCalls = {
        .Open = OpenCall,
        .Fstat = fstat,
        .Stat = stat,
        .Fcntl = FcntlCall,
        .Flock = flock,
        .Ioctl = IoctlCall,
        .Dup3 = dup3,
        .Close = close,
        .Read = read,
        .Write = write,
        .Fdatasync = fdatasync,
        .Poll = poll,
        .Mmap = mmap,
        .Munmap = munmap,
        .Readlink = readlink,
        .Sigprocmask = sigprocmask,
        .Sigaltstack = sigaltstack,
        .Sigaction = sigaction,
        .Nanosleep = nanosleep,
    };
}

}  // namespace os
