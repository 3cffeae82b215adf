#include "files.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

namespace testfs {

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool whole = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    return close(fd) == 0 && whole;
}

std::string ReadWholeFile(const std::string& path) {
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return "<missing>";
    return ReadAll(fd.get());
}

std::string ReadAll(int fd) {
    std::string bytes;
    char buffer[4096];
    off_t at = 0;
    for (ssize_t n; (n = pread(fd, buffer, sizeof buffer, at)) > 0; at += n) {
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

void Fd::Reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
}

TempDir::TempDir() {
    std::error_code ignored;
    std::string pattern =
        (std::filesystem::temp_directory_path(ignored) / "p5-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    // A program may leave a file read-only; the folder is ours to clear.
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::File(const std::string& name, const std::string& bytes) const {
    std::string path = Path(name);
    if (!WriteWholeFile(path, bytes)) ADD_FAILURE() << "cannot create " << path;
    return path;
}

std::vector<std::string> TempDir::Entries() const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path_, error)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

}  // namespace testfs
