// The posix backend's files: opens held against every other open of the
// file, transfers, lengths, and the guard that keeps the standard
// descriptors' numbers from ever naming a user file.
//
// Windows semantics it reproduces: files open existing-only and shared for
// reading only, a file without any write permission bit is read-only even
// for root, only what can be patched in place opens (a regular file, or a
// block device that nothing has mounted or claimed), and the standard
// handles 0, 1, 2 are never reused for a user file.
//
// Sharing: a Linux open declares no share mode, so every other open of the
// file, by any process and for reading or writing, counts as one that does
// not share writing, as a Windows reader sharing only reading would. A file
// lease says exactly that: the kernel grants a write lease only while no
// other open of the file exists anywhere, this process's standard handles
// included, and while it is held a later open elsewhere waits for our
// close. Where no lease can be had (a file the caller does not own without
// CAP_LEASE, a file system without leases) the open falls back to flock,
// which sees only other flock users, and compares the standard handles
// with the file itself.
#include "runtime/os/backend.h"
#include "runtime/os/posix/calls.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <linux/fs.h>
#endif

#include <cerrno>

namespace os {

const Error NameTooLongError = ENAMETOOLONG;

namespace {

// Bit n set: descriptor n was found closed (or was given up since) and now
// holds a read-only /dev/null only to keep its number from being handed to
// a user file. Found lazily: an open that returns a descriptor above 2
// proves that 0, 1 and 2 are all taken, since the system hands out the
// lowest free number; before that, asking for a standard handle checks.
constinit unsigned closedStandard = 0;
constinit bool standardTaken = false;

// The low descriptors OpenExisting opened, and the length each one's
// regular file had then: from the open on the file is held against every
// other open, so the length query need not ask the system again. A write
// forgets the length, a close both.
constexpr int kTracked = 16;
constinit std::uint64_t knownLength[kTracked] = {};
constinit std::uint32_t lengthKnown = 0;  // bit per descriptor
constinit std::uint32_t openedHere = 0;   // bit per descriptor

void ForgetLength(int fd) {
    if (fd >= 0 && fd < kTracked) lengthKnown &= ~(1u << fd);
}

void Forget(int fd) {
    ForgetLength(fd);
    if (fd >= 0 && fd < kTracked) openedHere &= ~(1u << fd);
}

// Whether descriptor fd, if open, is the file `file` describes.
bool IsOpenOn(int fd, const struct stat& file) {
    struct stat st;
    return posixCalls.Fstat(fd, &st) == 0 && st.st_dev == file.st_dev && st.st_ino == file.st_ino;
}

Error OccupyWithNull(int fd) {
    int placeholder = posixCalls.Open("/dev/null", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (placeholder < 0) placeholder = posixCalls.Open("/", O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    if (placeholder < 0) return errno;
    if (placeholder != fd) {
        if (posixCalls.Dup3(placeholder, fd, O_CLOEXEC) < 0) {
            Error err = errno;
            posixCalls.Close(placeholder);
            return err;
        }
        posixCalls.Close(placeholder);
    }
    closedStandard |= 1u << fd;
    return 0;
}

// True when standard input, output or error is this very file: the
// program's own standard handles count as other opens of it.
bool IsStandardHandle(const struct stat& file) {
    for (int fd = 0; fd <= 2; ++fd) {
        if (IsOpenOn(fd, file)) return true;
    }
    return false;
}

// Holds the open file against every other open of it until the descriptor
// is closed. EAGAIN: another open exists.
Error HoldAgainstOtherOpens(int fd, Access access, const struct stat& st) {
    if (posixCalls.Fcntl(fd, F_SETLEASE, access == Access::Read ? F_RDLCK : F_WRLCK) == 0) return 0;
    if (errno == EAGAIN) return EAGAIN;
    // No lease here (EACCES, EINVAL, ENOSYS): what flock and a look at our
    // own standard handles can see. A file system without locks goes on.
    if (posixCalls.Flock(fd, (access == Access::Read ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0 &&
        errno == EWOULDBLOCK) {
        return EWOULDBLOCK;
    }
    return IsStandardHandle(st) ? EAGAIN : 0;
}

// A user file never keeps a standard descriptor's number: it moves above
// 2, and the number it had is occupied, so no output meant for standard
// output or error can land in it.
Error MoveAboveStandard(int* fd) {
    if (*fd > 2) {
        standardTaken = true;
        return 0;
    }
    int moved = posixCalls.Fcntl(*fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return errno;
    if (OccupyWithNull(*fd) != 0) posixCalls.Close(*fd);  // gives up the low number
    *fd = moved;
    return 0;
}

// What can be patched in place: a regular file, or on Linux a block device
// (a disk, or a disk image attached as one). A FIFO, a socket or a
// character device would take the bytes and keep none of them in place.
bool CanPatchInPlace(mode_t mode) {
#if defined(__linux__)
    if (S_ISBLK(mode)) return true;
#endif
    return S_ISREG(mode);
}

// Without O_CREAT, Linux opens a block device exclusively for O_EXCL, and
// refuses it (EBUSY) while it is mounted or otherwise claimed: the kernel's
// own rule for a disk in use. Other files ignore the flag.
#if defined(__linux__)
constexpr int kExclusiveDevice = O_EXCL;
#else
constexpr int kExclusiveDevice = 0;
#endif

}  // namespace

Error backend::OpenExisting(const char* path, Access access, Handle* handle) {
    int mode = access == Access::Read ? O_RDONLY : access == Access::Write ? O_WRONLY : O_RDWR;
    // O_NONBLOCK keeps a FIFO or a device without a peer from hanging the
    // open (it is refused right after), and makes an open of a file another
    // process holds a lease on fail at once (EWOULDBLOCK) instead of
    // waiting for that process to let go. Regular files and block devices
    // ignore it in reads and writes.
    int fd = posixCalls.Open(path, mode | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | kExclusiveDevice);
    if (fd < 0) return errno;
    if (Error err = MoveAboveStandard(&fd)) {
        posixCalls.Close(fd);
        return err;
    }

    struct stat st;
    Error err = 0;
    if (posixCalls.Fstat(fd, &st) != 0) {
        err = errno;
    } else if (S_ISDIR(st.st_mode)) {
        err = EISDIR;
    } else if (!CanPatchInPlace(st.st_mode)) {
        err = ENXIO;  // as an open of a socket fails
    } else if (access != Access::Read && (st.st_mode & 0222) == 0) {
        err = EACCES;  // read-only for everyone, root included
    } else {
        err = HoldAgainstOtherOpens(fd, access, st);
    }
    if (err != 0) {
        posixCalls.Close(fd);
        return err;
    }
    if (fd < kTracked) {
        knownLength[fd] = static_cast<std::uint64_t>(st.st_size);
        openedHere |= 1u << fd;
        if (S_ISREG(st.st_mode)) lengthKnown |= 1u << fd;
    }
    *handle = static_cast<Handle>(fd);
    return 0;
}

Error backend::GetStdHandle(StdStream which, Handle* handle) {
    int fd = which == StdStream::Input ? 0 : which == StdStream::Output ? 1 : 2;
    if (!standardTaken && !(closedStandard & (1u << fd)) && posixCalls.Fcntl(fd, F_GETFD, 0) < 0 &&
        errno == EBADF) {
        OccupyWithNull(fd);
    }
    if (closedStandard & (1u << fd)) return EBADF;
    *handle = static_cast<Handle>(fd);
    return 0;
}

Error backend::Read(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* done) {
    ssize_t n = posixCalls.Read(static_cast<int>(handle), buffer, size);
    if (n < 0) return errno;
    *done = static_cast<std::uint32_t>(n);
    return 0;
}

// A pipe's O_NONBLOCK belongs to the pipe, so a launcher that set it on
// its end sets it for this program too. A pipe takes a write of up to
// 4096 bytes whole or not at all, so waiting and writing again never
// repeats a byte; a write that succeeds at once costs nothing more.
Error backend::Write(Handle handle, const void* buffer, std::uint32_t size, std::uint32_t* done) {
    int fd = static_cast<int>(handle);
    ForgetLength(fd);
    for (;;) {
        ssize_t n = posixCalls.Write(fd, buffer, size);
        if (n >= 0) {
            *done = static_cast<std::uint32_t>(n);
            return 0;
        }
        if (errno != EAGAIN) return errno;
        struct pollfd writable = {fd, POLLOUT, 0};
        if (posixCalls.Poll(&writable, 1, -1) < 0 && errno != EINTR) return errno;
    }
}

Error backend::FlushToDisk(Handle handle) {
    return posixCalls.Fdatasync(static_cast<int>(handle)) == 0 ? 0 : errno;
}

Error backend::FileSize(Handle handle, std::uint64_t* size) {
    int fd = static_cast<int>(handle);
    if (fd >= 0 && fd < kTracked && (lengthKnown & (1u << fd))) {
        *size = knownLength[fd];
        return 0;
    }
    struct stat st;
    if (posixCalls.Fstat(fd, &st) != 0) return errno;
#if defined(__linux__)
    if (S_ISBLK(st.st_mode)) {
        std::uint64_t bytes = 0;  // a device's own size; st_size is 0
        if (posixCalls.Ioctl(fd, BLKGETSIZE64, &bytes) != 0) return errno;
        *size = bytes;
        return 0;
    }
#endif
    *size = static_cast<std::uint64_t>(st.st_size);
    return 0;
}

Error backend::Close(Handle handle) {
    int fd = static_cast<int>(handle);
    Forget(fd);
    if (fd >= 0 && fd <= 2) return OccupyWithNull(fd);
    return posixCalls.Close(fd) == 0 ? 0 : errno;
}

FileType backend::GetFileType(Handle handle) {
    int fd = static_cast<int>(handle);
    struct stat st;
    if (handle == InvalidHandle || posixCalls.Fstat(fd, &st) != 0) return FileType::Unknown;
    if (fd <= 2 && (closedStandard & (1u << fd))) return FileType::Unknown;
    if (S_ISCHR(st.st_mode)) return FileType::Char;
    if (S_ISREG(st.st_mode)) return FileType::Disk;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FileType::Pipe;
    int flags = posixCalls.Fcntl(fd, F_GETFL, 0);
    if (flags >= 0 && (flags & O_ACCMODE) != O_RDONLY) return FileType::Pipe;
    return FileType::Unknown;
}

// The standard handles, and the files OpenExisting opened.
bool backend::HeldHere(const char* path) {
    struct stat named;
    if (posixCalls.Stat(path, &named) != 0) return false;
    for (int fd = 0; fd < kTracked; ++fd) {
        if ((fd <= 2 || (openedHere & (1u << fd))) && IsOpenOn(fd, named)) return true;
    }
    return false;
}

// A save by renaming a new file over the name, or a removal, leaves the
// open file nameless or under another name.
Error backend::NamesOpenFile(const char* path, Handle handle) {
    struct stat named, opened;
    if (posixCalls.Stat(path, &named) != 0) return errno;
    if (posixCalls.Fstat(static_cast<int>(handle), &opened) != 0) return errno;
    return named.st_dev == opened.st_dev && named.st_ino == opened.st_ino ? 0 : ENOENT;
}

// Pauses are under a second.
void backend::Pause(std::uint32_t milliseconds) {
    struct timespec duration = {0, static_cast<long>(milliseconds) * 1000000L};
    posixCalls.Nanosleep(&duration, nullptr);
}

// A lease refused for another open, and a lock held elsewhere.
bool IsSharingError(Error error) { return error == EAGAIN || error == EWOULDBLOCK; }

// PATH_MAX counts bytes, and every name a record holds is within it.
bool NameWithinLimit(const char*, std::size_t) { return true; }

// Standard error, where it is open: a closed one holds a placeholder.
void ShowErrorBox(const char* text, const char*) {
    if (closedStandard & 4u) return;
    char line[128];
    std::size_t n = 0;
    while (text[n] != 0 && n < sizeof line - 2) {
        line[n] = text[n];
        ++n;
    }
    line[n++] = '\r';
    line[n++] = '\n';
    ssize_t ignored = posixCalls.Write(2, line, n);
    (void)ignored;
}

}  // namespace os
