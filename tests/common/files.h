// Files for the tests on this machine: a fresh folder that goes with all
// in it, descriptors that close themselves, whole files in one call.
#pragma once

#include <string>
#include <vector>

namespace testfs {

// "what: <the text of errno>", for failure messages.
std::string ErrnoText(const std::string& what);

// Creates or replaces the file with exactly these bytes; false on any failure.
bool WriteWholeFile(const std::string& path, const std::string& bytes);

// Its bytes, or "<missing>" when it cannot be opened: a missing file is
// never taken for an empty one.
std::string ReadWholeFile(const std::string& path);

// All of an open file from its start; the descriptor's offset stays.
std::string ReadAll(int fd);

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept {
        Reset(other.Release());
        return *this;
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1);  // closes the one held

private:
    int fd_;
};

// A fresh folder under the system temp folder, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    std::string Path(const std::string& name) const { return path_ + "/" + name; }
    // Creates (or replaces) a file inside; a failure fails the test.
    std::string File(const std::string& name, const std::string& bytes) const;
    std::vector<std::string> Entries() const;  // names inside, "." and ".." excluded

private:
    std::string path_;
};

}  // namespace testfs
