// patch500 run as a user runs it, natively and the Windows programs under Wine.
// Each row gives the files a fresh folder starts with, the command, and the
// exact output, exit status and bytes of every file afterwards. Test names
// containing "Windows" need Wine.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "programs.h"
#include "run_program.h"
#include "tests/common/files.h"

namespace e2e {
namespace {

using testfs::ErrnoText;
using testfs::Fd;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// ---- Contents (kSource and k800 are in programs.h) ----

const std::string kOther500 = Bytes(500, 2);
const std::string k499 = Bytes(499, 3);
const std::string k501 = Bytes(501, 4);

constexpr std::uint64_t kGiB = 1ull << 30;
constexpr std::uint64_t kFourGiBAnd500 = 4 * kGiB + 500;  // 500 in its low 32 bits
constexpr std::uint64_t kFiveGiB = 5 * kGiB;
constexpr std::uint64_t kMiB = 1ull << 20;
const std::string k500Zeros(500, '\0');

// A relative path of exactly `length` bytes: folders of 50 bytes, then a
// file name that fills it up.
std::string DeepPath(std::size_t length) {
    std::string path;
    while (length - path.size() > 200) path += std::string(50, 'd') + "/";
    return path + std::string(length - path.size(), 'f');
}

// The same path as a Windows user writes it.
std::string Backslashed(std::string path) {
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

std::string Repeated(const std::string& text, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += text;
    return out;
}

// A relative path of `units` UTF-16 units, as Windows counts a name:
// folders of 50 CJK characters (3 bytes, one unit each), then a name that
// fills it up and ends in an emoji (4 bytes, two units).
std::string DeepWidePath(std::size_t units) {
    const std::string cjk = "日", emoji = "😀";
    std::string path;
    std::size_t used = 0;
    for (; units - used > 100; used += 51) path += Repeated(cjk, 50) + "/";
    return path + Repeated(cjk, units - used - 2) + emoji;
}

// The longest names each build takes: natively 4095 bytes, on Windows 259
// units (767 bytes). One more must be refused, not cut back to these nor
// opened though it exists.
const std::string kLongestNative = DeepPath(4095);
const std::string kLongestWindows = DeepWidePath(259);
const std::string kOverWindows = kLongestWindows + "x";

// Cyrillic, two bytes a character: a folder and a name of 100 each.
const std::string kCyrillicPath = Repeated("д", 100) + "/" + Repeated("ф", 100);

// ---- Rows ----

enum class Build { Both, Native, Windows };

// A file, folder or hard link the folder starts with (a FIFO or a socket
// when `mode` says so). Folders on the way to a name are made too.
struct Before {
    std::string name;
    std::string bytes = {};
    mode_t mode = 0644;
    std::uint64_t length = 0;  // above bytes.size(): extended sparsely to this length
    std::string linkTo = {};   // a hard link to this file instead
    bool folder = false;
};

// A regular file that must be there afterwards: `head` is its whole content,
// or for a sparse file only its first bytes and `length` its length.
struct After {
    std::string name;
    std::string head = {};
    std::optional<std::uint64_t> length = std::nullopt;
};

// Another holder of a file while patch500 runs: natively this test
// process, which holds a lock, an open descriptor, or only a shared
// mapping of the file. Wine does not see Unix locks, so under Wine a
// second Wine process holds the file open for writing instead.
enum class HoldKind {
    None, FlockExclusive, FlockShared, OpenForWriting, OpenForReading, OfdLock, MappedShared,
};

// What happens to the first argument's file at the program's first try
// at the held file: a new file saved over its name (new.bin renamed over
// it), or its removal.
enum class Meanwhile { Nothing, FirstReplaced, FirstRemoved };

struct Hold {
    std::string name = {};
    HoldKind kind = HoldKind::None;
    // Let go this long after the program first tries to open the file;
    // by default held until the program has ended.
    std::optional<milliseconds> letGoAfter = std::nullopt;
    Meanwhile meanwhile = Meanwhile::Nothing;
};

// The folder's disk.img attached as a loop device, named "@loop" in the
// arguments, and mounted if asked (root only; skipped where not permitted).
enum class Loop { None, Unmounted, Mounted };

struct Row {
    const char* name;
    Build build = Build::Both;
    std::vector<std::string> args = {};
    // Windows only: the exact command line, given through the launcher and
    // left beside the files as cmdline.bin.
    std::string commandLine = {};
    bool detached = false;  // with commandLine: no console, null standard handles
    // With commandLine: the launcher holds src.bin, and once the program
    // holds tgt.bin it renames new.bin over tgt.bin, saying whether it could.
    bool renameOverHeld = false;
    // Windows only: the program without its manifest, so without the UTF-8
    // code page, as Windows before 10 1903 runs it.
    bool withoutManifest = false;
    std::vector<Before> before = {};
    Hold hold = {};
    Loop loop = Loop::None;
    std::optional<std::uint64_t> fileSizeLimit = std::nullopt;  // native only
    StdoutMode out = StdoutMode::Pipe;
    std::string outFile = {};  // StdoutMode::AppendToFile, ReadWriteFile
    StdinMode in = StdinMode::DevNull;
    std::string inFile = {};   // standard input from this file instead
    // Standard output appended to full/out.txt, on a file system mounted
    // at full/ that is full (root only; skipped where mount is refused).
    bool stdoutOnFullDisk = false;
    bool errClosed = false;    // standard error closed instead of captured
    // Native only: run as nobody in a folder open to all, on files that
    // user does not own, where no lease can be had; run as the tester when
    // that is not root.
    bool asNobody = false;
    std::string expected = {};  // standard output; '#' is an address digit
    int status = 0;
    std::optional<int> windowsStatus = std::nullopt;  // under Wine, where it differs
    std::vector<After> after = {};  // every regular file in the folder
    // The program has ended within this time of its first try to open the
    // held file, or where none is held its first argument: Wine's start-up,
    // which can take longer than the wait, does not count.
    std::optional<milliseconds> within = std::nullopt;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

// The usual pair: a 500-byte source and an 800-byte target.
const std::vector<Before> kPair = {{"src.bin", kSource}, {"tgt.bin", k800}};
const std::vector<After> kPairUnchanged = {{"src.bin", kSource}, {"tgt.bin", k800}};
const std::vector<After> kPairPatched = {{"src.bin", kSource}, {"tgt.bin", Patched(k800)}};
// The same pair, writable by every user.
const std::vector<Before> kPairForAll = {{"src.bin", kSource, 0666}, {"tgt.bin", k800, 0666}};
// The pair, and a new file to be saved over a name.
const std::string kNew800 = Bytes(800, 6);
const std::vector<Before> kPairAndNew = {{"src.bin", kSource}, {"tgt.bin", k800},
                                         {"new.bin", kNew800}};
// A source and an empty target.
const std::vector<Before> kEmptyTarget = {{"src.bin", kSource}, {"tgt.bin", ""}};
const std::vector<After> kEmptyTargetUnchanged = {{"src.bin", kSource}, {"tgt.bin", ""}};
// Another's hold is waited out for about 0.5 s; one of this process's own
// is refused at once. Bounds from the first try (Row::within), measured at
// 0.50 to 0.54 s after a wait and under 20 ms without, natively and under
// Wine, on two cores loaded with two test runs.
constexpr milliseconds kBriefly{200};   // a hold the program outwaits
constexpr milliseconds kGivesUp{2000};  // it waited, but not for ever
constexpr milliseconds kAtOnce{250};    // it did not wait
constexpr unsigned kNobody = 65534;

const Row kRows[] = {
    // Not exactly two arguments: nothing is opened.
    {.name = "no_arguments", .args = {}, .before = kPair, .expected = kNeed2,
     .after = kPairUnchanged},
    {.name = "one_argument", .args = {"src.bin"}, .before = kPair, .expected = kNeed2,
     .after = kPairUnchanged},
    {.name = "three_arguments", .args = {"src.bin", "tgt.bin", "tgt.bin"}, .before = kPair,
     .expected = kNeed2, .after = kPairUnchanged},
    // An empty argument is no argument on either build.
    {.name = "empty_arguments_are_skipped", .args = {"", "src.bin", "", "tgt.bin"},
     .before = kPair, .expected = kOk, .after = kPairPatched},

    // Files that cannot be opened, by position; the first is named first.
    {.name = "first_missing", .args = {"none.bin", "src.bin"}, .before = kPair,
     .expected = kCantFind1st, .after = kPairUnchanged},
    {.name = "second_missing", .args = {"src.bin", "none.bin"}, .before = kPair,
     .expected = kCantFind2nd, .after = kPairUnchanged},
    {.name = "both_missing", .args = {"none1.bin", "none2.bin"}, .before = kPair,
     .expected = kCantFind1st, .after = kPairUnchanged},
    {.name = "first_is_folder", .args = {"dir", "src.bin"},
     .before = {{"src.bin", kSource}, {"tgt.bin", k800}, {.name = "dir", .folder = true}},
     .expected = kCantFind1st, .after = kPairUnchanged},
    {.name = "second_is_folder", .args = {"src.bin", "dir"},
     .before = {{"src.bin", kSource}, {"tgt.bin", k800}, {.name = "dir", .folder = true}},
     .expected = kCantFind2nd, .after = kPairUnchanged},
    // Read-only for everyone: refused for writing even to root.
    {.name = "first_read_only_source", .args = {"src.bin", "tgt.bin"},
     .before = {{"src.bin", kSource, 0444}, {"tgt.bin", k800}}, .expected = kCantFind1st,
     .after = kPairUnchanged},
    {.name = "second_read_only_target", .args = {"src.bin", "tgt.bin"},
     .before = {{"src.bin", kSource}, {"tgt.bin", k800, 0444}}, .expected = kCantFind2nd,
     .after = kPairUnchanged},
    {.name = "second_read_only_source", .args = {"tgt.bin", "src.bin"},
     .before = {{"src.bin", kSource, 0444}, {"tgt.bin", k800}}, .expected = kCantFind2nd,
     .after = kPairUnchanged},
    {.name = "first_read_only_target", .args = {"tgt.bin", "src.bin"},
     .before = {{"src.bin", kSource}, {"tgt.bin", k800, 0444}}, .expected = kCantFind1st,
     .after = kPairUnchanged},
    // One file twice: the first open shares it for reading only.
    {.name = "same_source_twice", .args = {"src.bin", "src.bin"}, .before = kPair,
     .expected = kCantFind2nd, .after = kPairUnchanged, .within = kAtOnce},
    {.name = "same_target_twice", .args = {"tgt.bin", "tgt.bin"}, .before = kPair,
     .expected = kCantFind2nd, .after = kPairUnchanged, .within = kAtOnce},
    {.name = "same_file_by_two_spellings", .args = {"src.bin", "dir/../src.bin"},
     .before = {{"src.bin", kSource}, {"tgt.bin", k800}, {.name = "dir", .folder = true}},
     .expected = kCantFind2nd, .after = kPairUnchanged, .within = kAtOnce},
    {.name = "hard_link_to_first_source", .args = {"src.bin", "src.link"},
     .before = {{"src.bin", kSource}, {.name = "src.link", .linkTo = "src.bin"}},
     .expected = kCantFind2nd, .after = {{"src.bin", kSource}, {"src.link", kSource}},
     .within = kAtOnce},
    {.name = "hard_link_to_first_target", .args = {"tgt.link", "tgt.bin"},
     .before = {{"tgt.bin", k800}, {.name = "tgt.link", .linkTo = "tgt.bin"}},
     .expected = kCantFind2nd, .after = {{"tgt.bin", k800}, {"tgt.link", k800}},
     .within = kAtOnce},
    // Held by another process. Locks natively only: Wine does not see them.
    {.name = "first_locked_exclusive", .build = Build::Native, .args = {"src.bin", "tgt.bin"},
     .before = kPair, .hold = {"src.bin", HoldKind::FlockExclusive}, .expected = kCantFind1st,
     .after = kPairUnchanged, .within = kGivesUp},
    {.name = "second_locked_exclusive", .build = Build::Native, .args = {"src.bin", "tgt.bin"},
     .before = kPair, .hold = {"tgt.bin", HoldKind::FlockExclusive}, .expected = kCantFind2nd,
     .after = kPairUnchanged, .within = kGivesUp},
    {.name = "first_locked_shared", .build = Build::Native, .args = {"tgt.bin", "src.bin"},
     .before = kPair, .hold = {"tgt.bin", HoldKind::FlockShared}, .expected = kCantFind1st,
     .after = kPairUnchanged, .within = kGivesUp},
    {.name = "second_locked_shared", .build = Build::Native, .args = {"tgt.bin", "src.bin"},
     .before = kPair, .hold = {"src.bin", HoldKind::FlockShared}, .expected = kCantFind2nd,
     .after = kPairUnchanged, .within = kGivesUp},
    {.name = "first_held_open_for_writing", .args = {"src.bin", "tgt.bin"},
     .before = kPair, .hold = {"src.bin", HoldKind::OpenForWriting}, .expected = kCantFind1st,
     .after = kPairUnchanged, .within = kGivesUp},
    {.name = "second_held_open_for_writing", .args = {"src.bin", "tgt.bin"}, .before = kPair,
     .hold = {"tgt.bin", HoldKind::OpenForWriting}, .expected = kCantFind2nd,
     .after = kPairUnchanged, .within = kGivesUp},
    // Any other open is in use: a reader, a lock that flock cannot see, a
    // mapping whose descriptor was closed.
    {.name = "source_held_open_for_reading", .build = Build::Native, .args = {"tgt.bin", "src.bin"},
     .before = kPair, .hold = {"src.bin", HoldKind::OpenForReading}, .expected = kCantFind2nd,
     .after = kPairUnchanged, .within = kGivesUp},
    {.name = "target_under_ofd_lock", .build = Build::Native, .args = {"src.bin", "tgt.bin"},
     .before = kPair, .hold = {"tgt.bin", HoldKind::OfdLock}, .expected = kCantFind2nd,
     .after = kPairUnchanged, .within = kGivesUp},
    {.name = "target_mapped_shared", .build = Build::Native, .args = {"tgt.bin", "src.bin"},
     .before = kPair, .hold = {"tgt.bin", HoldKind::MappedShared}, .expected = kCantFind1st,
     .after = kPairUnchanged, .within = kGivesUp},
    // A hold let go a moment after the program's first try is waited out.
    {.name = "target_held_briefly_then_patched", .args = {"src.bin", "tgt.bin"}, .before = kPair,
     .hold = {"tgt.bin", HoldKind::OpenForWriting, kBriefly}, .expected = kOk,
     .after = kPairPatched, .within = kGivesUp},
    {.name = "source_read_briefly_then_patched", .build = Build::Native,
     .args = {"tgt.bin", "src.bin"}, .before = kPair,
     .hold = {"src.bin", HoldKind::OpenForReading, kBriefly}, .expected = kOk,
     .after = kPairPatched, .within = kGivesUp},
    // While the second file is waited for, the first name passes to a new
    // file, or goes: the file opened first is not the one named any more.
    // Under Wine the system refuses the rename, as Windows does.
    {.name = "first_replaced_while_waiting_for_second", .build = Build::Native,
     .args = {"tgt.bin", "src.bin"}, .before = kPairAndNew,
     .hold = {"src.bin", HoldKind::OpenForReading, kBriefly, Meanwhile::FirstReplaced},
     .expected = kCantFind1st, .after = {{"src.bin", kSource}, {"tgt.bin", kNew800}},
     .within = kGivesUp},
    {.name = "first_removed_while_waiting_for_second", .build = Build::Native,
     .args = {"tgt.bin", "src.bin"}, .before = kPair,
     .hold = {"src.bin", HoldKind::OpenForReading, kBriefly, Meanwhile::FirstRemoved},
     .expected = kCantFind1st, .after = {{"src.bin", kSource}}, .within = kGivesUp},
    {.name = "rename_over_held_first_is_refused", .build = Build::Windows,
     .commandLine = "prog tgt.bin src.bin", .renameOverHeld = true, .before = kPairAndNew,
     .expected = "rename refused\r\n" + kOk,
     .after = {{"src.bin", kSource}, {"tgt.bin", Patched(k800)}, {"new.bin", kNew800}}},
    // The program's own standard handles count; the refusal lands where
    // the shell sent it, as on Windows, and nothing is patched.
    {.name = "stdout_appended_to_target", .build = Build::Native, .args = {"src.bin", "tgt.bin"},
     .before = kPair, .out = StdoutMode::AppendToFile, .outFile = "tgt.bin",
     .after = {{"src.bin", kSource}, {"tgt.bin", k800 + kCantFind2nd}}},
    {.name = "stdout_appended_to_source", .build = Build::Native, .args = {"src.bin", "tgt.bin"},
     .before = kPair, .out = StdoutMode::AppendToFile, .outFile = "src.bin",
     .after = {{"src.bin", kSource + kCantFind1st}, {"tgt.bin", k800}}},
    {.name = "stdout_read_write_on_target", .build = Build::Native,
     .args = {"src.bin", "tgt.bin"}, .before = kPair, .out = StdoutMode::ReadWriteFile,
     .outFile = "tgt.bin",
     .after = {{"src.bin", kSource}, {"tgt.bin", kCantFind2nd + k800.substr(kCantFind2nd.size())}}},
    {.name = "stdin_from_target", .build = Build::Native, .args = {"src.bin", "tgt.bin"},
     .before = kPair, .inFile = "tgt.bin", .expected = kCantFind2nd, .after = kPairUnchanged,
     .within = kAtOnce},
    // Without a lease: flock and the standard handles still refuse.
    {.name = "without_lease_patches", .build = Build::Native, .args = {"src.bin", "tgt.bin"},
     .before = kPairForAll, .asNobody = true, .expected = kOk, .after = kPairPatched},
    {.name = "without_lease_stdout_appended_to_target", .build = Build::Native,
     .args = {"src.bin", "tgt.bin"}, .before = kPairForAll, .out = StdoutMode::AppendToFile,
     .outFile = "tgt.bin", .asNobody = true,
     .after = {{"src.bin", kSource}, {"tgt.bin", k800 + kCantFind2nd}}},
    {.name = "without_lease_stdin_from_source", .build = Build::Native,
     .args = {"tgt.bin", "src.bin"}, .before = kPairForAll, .inFile = "src.bin",
     .asNobody = true, .expected = kCantFind2nd, .after = kPairUnchanged, .within = kAtOnce},
    {.name = "without_lease_target_locked", .build = Build::Native, .args = {"src.bin", "tgt.bin"},
     .before = kPairForAll, .hold = {"tgt.bin", HoldKind::FlockShared}, .asNobody = true,
     .expected = kCantFind2nd, .after = kPairUnchanged, .within = kGivesUp},
    {.name = "without_lease_target_locked_briefly", .build = Build::Native,
     .args = {"src.bin", "tgt.bin"}, .before = kPairForAll,
     .hold = {"tgt.bin", HoldKind::FlockExclusive, kBriefly}, .asNobody = true, .expected = kOk,
     .after = kPairPatched, .within = kGivesUp},

    // Only what can be patched in place opens: a regular file, or a disk
    // that nothing has mounted; nothing is written to anything else.
    {.name = "target_is_fifo", .build = Build::Native, .args = {"src.bin", "fifo"},
     .before = {{"src.bin", kSource}, {.name = "fifo", .mode = S_IFIFO | 0644}},
     .expected = kCantFind2nd, .after = {{"src.bin", kSource}}},
    {.name = "target_is_socket", .build = Build::Native, .args = {"src.bin", "socket"},
     .before = {{"src.bin", kSource}, {.name = "socket", .mode = S_IFSOCK | 0644}},
     .expected = kCantFind2nd, .after = {{"src.bin", kSource}}},
    {.name = "target_is_dev_zero", .build = Build::Native, .args = {"src.bin", "/dev/zero"},
     .before = {{"src.bin", kSource}}, .expected = kCantFind2nd, .after = {{"src.bin", kSource}}},
    {.name = "first_is_the_terminal", .build = Build::Native, .args = {"/dev/tty", "src.bin"},
     .before = {{"src.bin", kSource}}, .out = StdoutMode::Terminal, .expected = kCantFind1st,
     .after = {{"src.bin", kSource}}},
    {.name = "unmounted_loop_device_is_patched", .build = Build::Native, .args = {"src.bin", "@loop"},
     .before = {{"src.bin", kSource}, {.name = "disk.img", .bytes = k800, .length = kMiB}},
     .loop = Loop::Unmounted, .expected = kOk,
     .after = {{"src.bin", kSource}, {"disk.img", Patched(k800), kMiB}}},
    {.name = "mounted_loop_device_is_refused", .build = Build::Native, .args = {"@loop", "src.bin"},
     .before = {{"src.bin", kSource}, {.name = "disk.img", .length = kMiB}}, .loop = Loop::Mounted,
     .expected = kCantFind1st, .after = {{"src.bin", kSource}, {"disk.img", k500Zeros, kMiB}}},
    {.name = "target_is_nul", .build = Build::Windows, .args = {"src.bin", "NUL"},
     .before = {{"src.bin", kSource}}, .expected = kCantFind2nd, .after = {{"src.bin", kSource}}},
    {.name = "first_is_con", .build = Build::Windows, .args = {"CON", "src.bin"},
     .before = {{"src.bin", kSource}}, .expected = kCantFind1st, .after = {{"src.bin", kSource}}},

    // Exactly one file must be 500 bytes long.
    {.name = "both_500", .args = {"a.bin", "b.bin"},
     .before = {{"a.bin", kSource}, {"b.bin", kOther500}}, .expected = kBoth500,
     .after = {{"a.bin", kSource}, {"b.bin", kOther500}}},
    {.name = "both_empty", .args = {"a.bin", "b.bin"}, .before = {{"a.bin", ""}, {"b.bin", ""}},
     .expected = kNo500, .after = {{"a.bin", ""}, {"b.bin", ""}}},
    {.name = "sizes_499_and_501", .args = {"a.bin", "b.bin"},
     .before = {{"a.bin", k499}, {"b.bin", k501}}, .expected = kNo500,
     .after = {{"a.bin", k499}, {"b.bin", k501}}},
    {.name = "sizes_501_and_499", .args = {"b.bin", "a.bin"},
     .before = {{"a.bin", k499}, {"b.bin", k501}}, .expected = kNo500,
     .after = {{"a.bin", k499}, {"b.bin", k501}}},
    {.name = "sizes_800_and_empty", .args = {"a.bin", "b.bin"},
     .before = {{"a.bin", k800}, {"b.bin", ""}}, .expected = kNo500,
     .after = {{"a.bin", k800}, {"b.bin", ""}}},
    // Lengths are taken in full 64 bits (sparse files, nothing is read whole).
    {.name = "four_gib_and_500_is_no_source", .args = {"big.bin", "tgt.bin"},
     .before = {{.name = "big.bin", .length = kFourGiBAnd500}, {"tgt.bin", k800}},
     .expected = kNo500,
     .after = {{"big.bin", k500Zeros, kFourGiBAnd500}, {"tgt.bin", k800}}},
    {.name = "four_gib_and_500_is_a_target", .args = {"src.bin", "big.bin"},
     .before = {{"src.bin", kSource}, {.name = "big.bin", .length = kFourGiBAnd500}},
     .expected = kOk,
     .after = {{"src.bin", kSource}, {"big.bin", kSource + k500Zeros, kFourGiBAnd500}}},
    {.name = "five_gib_target_keeps_length", .args = {"big.bin", "src.bin"},
     .before = {{"src.bin", kSource}, {.name = "big.bin", .length = kFiveGiB}},
     .expected = kOk,
     .after = {{"src.bin", kSource}, {"big.bin", kSource + k500Zeros, kFiveGiB}}},

    // The copy, with the source in either position.
    {.name = "empty_target_becomes_copy", .args = {"src.bin", "tgt.bin"},
     .before = {{"src.bin", kSource}, {"tgt.bin", ""}}, .expected = kOk,
     .after = {{"src.bin", kSource}, {"tgt.bin", kSource}}},
    {.name = "empty_target_first_becomes_copy", .args = {"tgt.bin", "src.bin"},
     .before = {{"src.bin", kSource}, {"tgt.bin", ""}}, .expected = kOk,
     .after = {{"src.bin", kSource}, {"tgt.bin", kSource}}},
    {.name = "target_499_becomes_500", .args = {"src.bin", "tgt.bin"},
     .before = {{"src.bin", kSource}, {"tgt.bin", k499}}, .expected = kOk,
     .after = {{"src.bin", kSource}, {"tgt.bin", kSource}}},
    {.name = "target_499_first_becomes_500", .args = {"tgt.bin", "src.bin"},
     .before = {{"src.bin", kSource}, {"tgt.bin", k499}}, .expected = kOk,
     .after = {{"src.bin", kSource}, {"tgt.bin", kSource}}},
    {.name = "target_501_keeps_last_byte", .args = {"src.bin", "tgt.bin"},
     .before = {{"src.bin", kSource}, {"tgt.bin", k501}}, .expected = kOk,
     .after = {{"src.bin", kSource}, {"tgt.bin", Patched(k501)}}},
    {.name = "target_800_keeps_tail", .args = {"src.bin", "tgt.bin"}, .before = kPair,
     .expected = kOk, .after = kPairPatched},
    {.name = "target_800_first_keeps_tail", .args = {"tgt.bin", "src.bin"}, .before = kPair,
     .expected = kOk, .after = kPairPatched},
    {.name = "names_with_spaces", .args = {"my src.bin", "my tgt.bin"},
     .before = {{"my src.bin", kSource}, {"my tgt.bin", k800}}, .expected = kOk,
     .after = {{"my src.bin", kSource}, {"my tgt.bin", Patched(k800)}}},
    {.name = "target_in_folder", .args = {"src.bin", "sub/tgt.bin"},
     .before = {{"src.bin", kSource}, {"sub/tgt.bin", k800}}, .expected = kOk,
     .after = {{"src.bin", kSource}, {"sub/tgt.bin", Patched(k800)}}},

    // The same bytes whatever standard output is.
    {.name = "ok_to_file", .args = {"src.bin", "tgt.bin"}, .before = kPair,
     .out = StdoutMode::File, .expected = kOk, .after = kPairPatched},
    {.name = "ok_to_terminal", .args = {"src.bin", "tgt.bin"}, .before = kPair,
     .out = StdoutMode::Terminal, .expected = kOk, .after = kPairPatched},
    {.name = "refusal_to_file", .args = {"src.bin"}, .before = kPair, .out = StdoutMode::File,
     .expected = kNeed2, .after = kPairUnchanged},
    {.name = "refusal_to_terminal", .args = {"src.bin", "none.bin"}, .before = kPair,
     .out = StdoutMode::Terminal, .expected = kCantFind2nd, .after = kPairUnchanged},

    // A name too long is refused, never cut to a prefix that names a file.
    {.name = "path_of_4095_bytes_is_patched", .build = Build::Native,
     .args = {"src.bin", kLongestNative},
     .before = {{"src.bin", kSource}, {kLongestNative, k800}}, .expected = kOk,
     .after = {{"src.bin", kSource}, {kLongestNative, Patched(k800)}}},
    {.name = "first_path_over_4095_bytes", .build = Build::Native,
     .args = {kLongestNative + "x", "src.bin"},
     .before = {{"src.bin", kSource}, {kLongestNative, k800}}, .expected = kCantFind1st,
     .after = {{"src.bin", kSource}, {kLongestNative, k800}}},
    {.name = "second_path_over_4095_bytes", .build = Build::Native,
     .args = {"src.bin", kLongestNative + "x"},
     .before = {{"src.bin", kSource}, {kLongestNative, k800}}, .expected = kCantFind2nd,
     .after = {{"src.bin", kSource}, {kLongestNative, k800}}},
    {.name = "path_of_259_chars_is_patched", .build = Build::Windows,
     .args = {"src.bin", Backslashed(kLongestWindows)},
     .before = {{"src.bin", kSource}, {kLongestWindows, k800}}, .expected = kOk,
     .after = {{"src.bin", kSource}, {kLongestWindows, Patched(k800)}}},
    {.name = "first_path_over_259_chars", .build = Build::Windows,
     .args = {Backslashed(kOverWindows), "src.bin"},
     .before = {{"src.bin", kSource}, {kLongestWindows, k800}, {kOverWindows, k800}},
     .expected = kCantFind1st,
     .after = {{"src.bin", kSource}, {kLongestWindows, k800}, {kOverWindows, k800}}},
    {.name = "second_path_over_259_chars", .build = Build::Windows,
     .args = {"src.bin", Backslashed(kOverWindows)},
     .before = {{"src.bin", kSource}, {kLongestWindows, k800}, {kOverWindows, k800}},
     .expected = kCantFind2nd,
     .after = {{"src.bin", kSource}, {kLongestWindows, k800}, {kOverWindows, k800}}},
    // Names in any script, in the UTF-8 code page the program asks for.
    {.name = "cyrillic_and_cjk_names", .build = Build::Windows,
     .args = {"сорс.bin", "日本.bin"}, .before = {{"сорс.bin", kSource}, {"日本.bin", k800}},
     .expected = kOk, .after = {{"сорс.bin", kSource}, {"日本.bin", Patched(k800)}}},
    {.name = "path_of_201_cyrillic_chars_is_patched", .build = Build::Windows,
     .args = {Backslashed(kCyrillicPath), "src.bin"},
     .before = {{"src.bin", kSource}, {kCyrillicPath, k800}}, .expected = kOk,
     .after = {{"src.bin", kSource}, {kCyrillicPath, Patched(k800)}}},
    // Look-alikes name themselves, also where the code page is an ANSI one
    // whose best fit makes U+FF0F '/' and U+FF02 '"'.
    {.name = "fullwidth_solidus_names_no_other_file", .build = Build::Windows,
     .args = {"src.bin", "a／b"}, .withoutManifest = true,
     .before = {{"src.bin", kSource}, {"a/b", k800}}, .expected = kCantFind2nd,
     .after = {{"src.bin", kSource}, {"a/b", k800}}},
    {.name = "fullwidth_quotes_name_no_other_file", .build = Build::Windows,
     .args = {"src.bin", "＂tgt.bin＂"}, .withoutManifest = true, .before = kPair,
     .expected = kCantFind2nd, .after = kPairUnchanged},
    {.name = "fullwidth_solidus_name_is_patched", .build = Build::Windows,
     .args = {"src.bin", "a／b"}, .withoutManifest = true,
     .before = {{"src.bin", kSource}, {"a/b", k800}, {"a／b", k800}}, .expected = kOk,
     .after = {{"src.bin", kSource}, {"a/b", k800}, {"a／b", Patched(k800)}}},
    {.name = "fullwidth_solidus_with_manifest", .build = Build::Windows,
     .args = {"src.bin", "a／b"}, .before = {{"src.bin", kSource}, {"a/b", k800}},
     .expected = kCantFind2nd, .after = {{"src.bin", kSource}, {"a/b", k800}}},
    {.name = "fullwidth_quotes_with_manifest", .build = Build::Windows,
     .args = {"src.bin", "＂tgt.bin＂"}, .before = kPair, .expected = kCantFind2nd,
     .after = kPairUnchanged},

    // Run-time errors after both files were opened. A file-size limit: the
    // one write comes back short, or fails whole. Not under Wine: the limit
    // would bind the Wine server it may start.
    {.name = "short_write_at_file_size_limit", .build = Build::Native,
     .args = {"src.bin", "tgt.bin"}, .before = kEmptyTarget, .fileSizeLimit = 300,
     .expected = ReportLine(101), .status = 101,
     .after = {{"src.bin", kSource}, {"tgt.bin", kSource.substr(0, 300)}}},
    {.name = "short_write_at_size_limit_target_first", .build = Build::Native,
     .args = {"tgt.bin", "src.bin"}, .before = kPair, .fileSizeLimit = 300,
     .expected = ReportLine(101), .status = 101,
     .after = {{"src.bin", kSource}, {"tgt.bin", Over(k800, kSource.substr(0, 300))}}},
    {.name = "size_limit_zero_empty_target", .build = Build::Native, .args = {"src.bin", "tgt.bin"},
     .before = kEmptyTarget, .fileSizeLimit = 0, .expected = ReportLine(27), .status = 27,
     .after = kEmptyTargetUnchanged},
    {.name = "size_limit_zero_empty_target_first", .build = Build::Native,
     .args = {"tgt.bin", "src.bin"}, .before = kEmptyTarget, .fileSizeLimit = 0,
     .expected = ReportLine(27), .status = 27, .after = kEmptyTargetUnchanged},
    // Standard output is a file under the same limit: the report is lost too.
    {.name = "size_limit_zero_stdout_to_file", .build = Build::Native,
     .args = {"src.bin", "tgt.bin"}, .before = kEmptyTarget, .fileSizeLimit = 0,
     .out = StdoutMode::File, .expected = "", .status = 27, .after = kEmptyTargetUnchanged},
    // Standard output on /dev/full: the line fails after the patch.
    {.name = "stdout_full_after_patching", .args = {"src.bin", "tgt.bin"}, .before = kPair,
     .out = StdoutMode::DevFull, .expected = "", .status = 28,
     .windowsStatus = 112,  // ERROR_DISK_FULL
     .after = kPairPatched},
    {.name = "stdout_full_target_first", .args = {"tgt.bin", "src.bin"}, .before = kPair,
     .out = StdoutMode::DevFull, .expected = "", .status = 28, .windowsStatus = 112,
     .after = kPairPatched},
    // Closed standard handles never lend their numbers to a user file: with
    // no standard output, "Ok" must not land in a file that took its place.
    // Under Wine a closed standard output becomes a handle on the working
    // folder: the write fails at termination, and its code is the status.
    {.name = "stdout_closed_source_first", .args = {"src.bin", "tgt.bin"}, .before = kPair,
     .out = StdoutMode::Closed, .expected = "", .status = 103,
     .windowsStatus = 6,  // ERROR_INVALID_HANDLE
     .after = kPairPatched},
    {.name = "stdout_closed_target_first", .args = {"tgt.bin", "src.bin"}, .before = kPair,
     .out = StdoutMode::Closed, .expected = "", .status = 103, .windowsStatus = 6,
     .after = kPairPatched},
    // A detached process's standard handles are null: none is closed or
    // written, the file is patched, and the lost line is error 103.
    {.name = "detached_patches_without_output", .build = Build::Windows,
     .commandLine = "prog src.bin tgt.bin", .detached = true, .before = kPair, .expected = "",
     .status = 103, .after = kPairPatched},
    {.name = "stdin_closed", .args = {"src.bin", "tgt.bin"}, .before = kPair,
     .in = StdinMode::Closed, .expected = kOk, .after = kPairPatched},
    {.name = "stdin_closed_target_first", .args = {"tgt.bin", "src.bin"}, .before = kPair,
     .in = StdinMode::Closed, .expected = kOk, .after = kPairPatched},
    {.name = "stderr_closed", .args = {"src.bin", "tgt.bin"}, .before = kPair,
     .errClosed = true, .expected = kOk, .after = kPairPatched},
    {.name = "stderr_closed_target_first", .args = {"tgt.bin", "src.bin"}, .before = kPair,
     .errClosed = true, .expected = kOk, .after = kPairPatched},
    // Not under Wine: Wine's own descriptors then take 0, 1 and 2, and the
    // program's line goes into Wine's server connection.
    {.name = "all_closed", .build = Build::Native, .args = {"src.bin", "tgt.bin"},
     .before = kPair, .out = StdoutMode::Closed, .in = StdinMode::Closed, .errClosed = true,
     .expected = "", .status = 103, .after = kPairPatched},
    {.name = "all_closed_target_first", .build = Build::Native, .args = {"tgt.bin", "src.bin"},
     .before = kPair, .out = StdoutMode::Closed, .in = StdinMode::Closed, .errClosed = true,
     .expected = "", .status = 103, .after = kPairPatched},
    // Output lost at termination: the line is not heard, and the exit
    // status says why, unless it is a run-time error's number already.
    {.name = "stdout_on_full_disk", .args = {"src.bin", "tgt.bin"}, .before = kPair,
     .stdoutOnFullDisk = true, .expected = "", .status = 28,
     .windowsStatus = 112,  // ERROR_DISK_FULL
     .after = kPairPatched},
    {.name = "refusal_on_full_disk", .args = {"src.bin", "none.bin"}, .before = kPair,
     .stdoutOnFullDisk = true, .expected = "", .status = 28, .windowsStatus = 112,
     .after = kPairUnchanged},
    {.name = "run_time_error_kept_on_full_disk", .build = Build::Native,
     .args = {"src.bin", "tgt.bin"}, .before = kEmptyTarget, .fileSizeLimit = 300,
     .stdoutOnFullDisk = true, .expected = "", .status = 101,
     .after = {{"src.bin", kSource}, {"tgt.bin", kSource.substr(0, 300)}}},
    {.name = "stdout_reader_gone", .args = {"src.bin", "tgt.bin"}, .before = kPair,
     .out = StdoutMode::BrokenPipe, .expected = "", .status = 32,
     .windowsStatus = 233,  // Wine's ERROR_PIPE_NOT_CONNECTED; Windows' ERROR_NO_DATA is 232
     .after = kPairPatched},
    // A launcher's non-blocking pipe, full for a while: the line waits.
    {.name = "stdout_full_non_blocking_pipe", .args = {"src.bin", "tgt.bin"}, .before = kPair,
     .out = StdoutMode::FullNonBlockingPipe, .expected = kOk, .after = kPairPatched},
    {.name = "refusal_to_full_non_blocking_pipe", .args = {"src.bin", "none.bin"},
     .before = kPair, .out = StdoutMode::FullNonBlockingPipe, .expected = kCantFind2nd,
     .after = kPairUnchanged},
    // A refusal that cannot be written is a run-time error too.
    {.name = "refusal_on_full_stdout", .build = Build::Native, .args = {}, .before = kPair,
     .out = StdoutMode::DevFull, .expected = "", .status = 28, .after = kPairUnchanged},
    {.name = "refusal_on_closed_stdout", .build = Build::Native, .args = {}, .before = kPair,
     .out = StdoutMode::Closed, .expected = "", .status = 103, .after = kPairUnchanged},

    // Exact Windows command lines: the program splits them itself.
    {.name = "tabs_between_arguments", .build = Build::Windows,
     .commandLine = "prog\tsrc.bin\t\ttgt.bin\t", .before = kPair, .expected = kOk,
     .after = kPairPatched},
    {.name = "control_bytes_between_arguments", .build = Build::Windows,
     .commandLine = "prog\r\nsrc.bin\x01\x1ftgt.bin\n", .before = kPair, .expected = kOk,
     .after = kPairPatched},
    {.name = "quoted_names_with_spaces", .build = Build::Windows,
     .commandLine = "prog \"my src.bin\"  \"my tgt.bin\"",
     .before = {{"my src.bin", kSource}, {"my tgt.bin", k800}}, .expected = kOk,
     .after = {{"my src.bin", kSource}, {"my tgt.bin", Patched(k800)}}},
    {.name = "quoted_program_name", .build = Build::Windows,
     .commandLine = "\"C:\\dir one\\prog.exe\" src.bin tgt.bin", .before = kPair,
     .expected = kOk, .after = kPairPatched},
    {.name = "empty_pairs_dropped", .build = Build::Windows,
     .commandLine = "prog \"\" \"\" src.bin \"\" tgt.bin", .before = kPair, .expected = kOk,
     .after = kPairPatched},
    {.name = "unterminated_quote_is_one_argument", .build = Build::Windows,
     .commandLine = "prog \"src.bin tgt.bin", .before = kPair, .expected = kNeed2,
     .after = kPairUnchanged},
    {.name = "quotes_inside_names", .build = Build::Windows,
     .commandLine = "prog s\"r\"c.bin t\"g\"t.bin", .before = kPair, .expected = kOk,
     .after = kPairPatched},
    {.name = "quoted_section_joins_space", .build = Build::Windows,
     .commandLine = "prog my\" src\".bin tgt.bin",
     .before = {{"my src.bin", kSource}, {"tgt.bin", k800}}, .expected = kOk,
     .after = {{"my src.bin", kSource}, {"tgt.bin", Patched(k800)}}},
    {.name = "backslash_before_quote_is_plain", .build = Build::Windows,
     .commandLine = "prog sub\\\"my tgt.bin\" src.bin",
     .before = {{"src.bin", kSource}, {"sub/my tgt.bin", k800}}, .expected = kOk,
     .after = {{"src.bin", kSource}, {"sub/my tgt.bin", Patched(k800)}}},
    // A caller in cp1252 (the launcher) writes é as 0xE9; the system hands
    // it over as a character, which this UTF-8 process gets as 0xC3 0xA9:
    // the same name, the same file.
    {.name = "name_with_bytes_above_127", .build = Build::Windows,
     .commandLine = "prog \xe9t\xe9.bin src.bin",
     .before = {{"src.bin", kSource}, {"\xc3\xa9t\xc3\xa9.bin", k800}}, .expected = kOk,
     .after = {{"src.bin", kSource}, {"\xc3\xa9t\xc3\xa9.bin", Patched(k800)}}},
    {.name = "one_argument_line", .build = Build::Windows, .commandLine = "prog src.bin",
     .before = kPair, .expected = kNeed2, .after = kPairUnchanged},
    {.name = "lone_final_quote_is_no_argument", .build = Build::Windows,
     .commandLine = "prog src.bin tgt.bin \"", .before = kPair, .expected = kOk,
     .after = kPairPatched},
    {.name = "quote_then_space_is_a_third_argument", .build = Build::Windows,
     .commandLine = "prog src.bin tgt.bin \" ", .before = kPair, .expected = kNeed2,
     .after = kPairUnchanged},
};

// ---- Files, reached through a descriptor of the folder, so that a path
// longer than the system's limit from the root still works ----

// Every folder on the way to `name`.
void MakeParents(int root, const std::string& name) {
    for (std::size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
        std::string folder = name.substr(0, slash);
        ASSERT_TRUE(mkdirat(root, folder.c_str(), 0755) == 0 || errno == EEXIST)
            << ErrnoText("mkdir " + folder);
    }
}

void Make(int root, const Before& entry) {
    const char* name = entry.name.c_str();
    ASSERT_NO_FATAL_FAILURE(MakeParents(root, entry.name));
    if (entry.folder) {
        ASSERT_EQ(mkdirat(root, name, 0755), 0) << ErrnoText("mkdir " + entry.name);
        return;
    }
    if (!entry.linkTo.empty()) {
        ASSERT_EQ(linkat(root, entry.linkTo.c_str(), root, name, 0), 0)
            << ErrnoText("link " + entry.name);
        return;
    }
    if (S_ISFIFO(entry.mode) || S_ISSOCK(entry.mode)) {
        ASSERT_EQ(mknodat(root, name, entry.mode, 0), 0) << ErrnoText("mknod " + entry.name);
        return;
    }
    Fd file(openat(root, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    ASSERT_GE(file.get(), 0) << ErrnoText("create " + entry.name);
    ASSERT_EQ(write(file.get(), entry.bytes.data(), entry.bytes.size()),
              static_cast<ssize_t>(entry.bytes.size()));
    if (entry.length > entry.bytes.size()) {
        ASSERT_EQ(ftruncate(file.get(), static_cast<off_t>(entry.length)), 0)
            << ErrnoText("ftruncate " + entry.name);
    }
    ASSERT_EQ(fchmod(file.get(), entry.mode), 0);
}

// Every entry below `folder` by relative path: regular files in *files,
// anything else in *others. Folders are walked into.
void ListEntries(int folder, const std::string& prefix, std::vector<std::string>* files,
                 std::vector<std::string>* others) {
    DIR* listing = fdopendir(fcntl(folder, F_DUPFD_CLOEXEC, 3));
    ASSERT_NE(listing, nullptr) << ErrnoText("list " + prefix);
    rewinddir(listing);  // the position is shared with `folder`
    while (dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ADD_FAILURE() << ErrnoText("stat " + prefix + name);
        } else if (S_ISREG(st.st_mode)) {
            files->push_back(prefix + name);
        } else {
            others->push_back(prefix + name);
            if (!S_ISDIR(st.st_mode)) continue;
            Fd sub(openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            ListEntries(sub.get(), prefix + name + "/", files, others);
        }
    }
    closedir(listing);
}

// The regular files must be exactly those of `expected`, each with its
// bytes (of a large file only its head is read); anything else must be
// what the row made, or a folder on the way to it.
void ExpectFiles(int root, const std::vector<Before>& made, const std::vector<After>& expected) {
    std::vector<std::string> files, others;
    ASSERT_NO_FATAL_FAILURE(ListEntries(root, "", &files, &others));
    for (const std::string& name : files) {
        bool known = false;
        for (const After& file : expected) known = known || file.name == name;
        EXPECT_TRUE(known) << "unexpected file " << Visible(name);
    }
    for (const std::string& name : others) {
        bool known = false;
        for (const Before& entry : made) {
            known = known || entry.name == name || entry.name.starts_with(name + "/");
        }
        EXPECT_TRUE(known) << "unexpected entry " << Visible(name);
    }
    for (const After& file : expected) {
        SCOPED_TRACE("file " + Visible(file.name));
        Fd fd(openat(root, file.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        ASSERT_GE(fd.get(), 0) << ErrnoText("open");
        struct stat st;
        ASSERT_EQ(fstat(fd.get(), &st), 0);
        ASSERT_TRUE(S_ISREG(st.st_mode));
        std::uint64_t length = file.length.value_or(file.head.size());
        EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), length);
        std::string head(file.head.size(), '\0');
        ssize_t got = pread(fd.get(), head.data(), head.size(), 0);
        ASSERT_GE(got, 0) << ErrnoText("read");
        head.resize(static_cast<std::size_t>(got));
        if (head != file.head) {
            std::size_t at = 0;
            while (at < head.size() && head[at] == file.head[at]) ++at;
            ADD_FAILURE() << "bytes differ from offset " << at << " (read " << head.size()
                          << " of " << file.head.size() << " expected)";
        }
    }
}

// ---- Running a row ----

// Under Wine: file names reach the disk as UTF-8 only in a UTF-8
// locale, whatever the machine's own is.
RunOptions WineLocale(RunOptions options) {
    options.setEnv.push_back("LC_ALL=C.UTF-8");
    return options;
}

// A Wine process with `name` open for writing: the outer cmd opens it for
// appending as the standard error of the inner one, which then says so and
// waits in cmd's own `set /p` (no program to start) for its standard input.
void HoldOpenUnderWine(const std::string& folder, const std::string& name,
                       std::unique_ptr<BackgroundProgram>& holder) {
    RunOptions options;
    options.workDir = folder;
    options.timeout = std::chrono::seconds(30);
    // Wine's 64-bit cmd for either build: the server holds the file against
    // any process, and a 32-bit one may run emulated, too slow to let go.
    std::vector<std::string> command = WineCommand(
        "cmd", {"/c", "cmd", "/c", "echo", "ready^&", "set", "/p", "x=", "2>>" + name});
    std::replace(command.begin(), command.end(), std::string("--32"), std::string("--64"));
    holder = std::make_unique<BackgroundProgram>(command, WineLocale(options));
    ASSERT_EQ(holder->failure(), "");
    ASSERT_TRUE(holder->WaitForOutput("ready", std::chrono::seconds(30)))
        << "the holder never opened the file; said " << Visible(holder->out());
}

// Holds a row's file (see HoldKind) from Take until Release, or until
// a while after the program's first try at it (Watch).
class Holder {
public:
    ~Holder() { Release(); }
    void Take(bool windows, int root, const std::string& folder, const Hold& hold);
    // Notes when `path` is next opened: the program's first try at it,
    // refused or not (a lease, a lock or Wine's sharing check comes after
    // the open inotify sees; a watcher woken late under load only eases a
    // bound). Then does `meanwhile`, and lets go `letGoAfter` later, if given.
    void Watch(const std::string& path, std::optional<milliseconds> letGoAfter,
               std::function<void()> meanwhile);
    // Lets go now, if not yet; safe to call again.
    void Release() {
        if (watcher_.joinable()) {
            std::uint64_t one = 1;
            EXPECT_EQ(write(stop_.get(), &one, sizeof one), 8) << ErrnoText("eventfd");
            watcher_.join();
        }
        LetGo();
    }
    // After Release: when the watched file was first opened, if it was.
    std::optional<Clock::time_point> firstTry() const { return firstTry_; }

private:
    void LetGo() {
        if (wine_) {
            RunResult held = wine_->Stop();
            EXPECT_TRUE(held.exited) << "holder: " << Describe(held);
            wine_.reset();
        }
        fd_.Reset();
        if (mapping_ != MAP_FAILED) munmap(mapping_, 4096);
        mapping_ = MAP_FAILED;
    }
    Fd fd_;
    std::unique_ptr<BackgroundProgram> wine_;
    void* mapping_ = MAP_FAILED;
    Fd stop_;
    std::thread watcher_;
    std::optional<Clock::time_point> firstTry_;
};

void Holder::Watch(const std::string& path, std::optional<milliseconds> letGoAfter,
                   std::function<void()> meanwhile) {
    Fd watch(inotify_init1(IN_CLOEXEC));
    ASSERT_GE(inotify_add_watch(watch.get(), path.c_str(), IN_OPEN), 0) << ErrnoText("inotify");
    stop_.Reset(eventfd(0, EFD_CLOEXEC));
    ASSERT_TRUE(stop_.valid()) << ErrnoText("eventfd");
    watcher_ = std::thread([this, letGoAfter, meanwhile, watch = std::move(watch)] {
        pollfd events[] = {{watch.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
        while (poll(events, 2, -1) < 0 && errno == EINTR) {
        }
        if (events[0].revents == 0) return;
        firstTry_ = Clock::now();
        meanwhile();
        if (!letGoAfter) return;
        std::this_thread::sleep_for(*letGoAfter);
        LetGo();
    });
}

void Holder::Take(bool windows, int root, const std::string& folder, const Hold& hold) {
    const char* name = hold.name.c_str();
    switch (hold.kind) {
    case HoldKind::None:
        return;
    case HoldKind::FlockExclusive:
    case HoldKind::FlockShared: {
        fd_.Reset(openat(root, name, O_RDONLY | O_CLOEXEC));
        int op = hold.kind == HoldKind::FlockExclusive ? LOCK_EX : LOCK_SH;
        ASSERT_EQ(flock(fd_.get(), op | LOCK_NB), 0) << ErrnoText("flock");
        return;
    }
    case HoldKind::OpenForWriting:
        if (windows) return HoldOpenUnderWine(folder, hold.name, wine_);
        fd_.Reset(openat(root, name, O_WRONLY | O_APPEND | O_CLOEXEC));
        ASSERT_GE(fd_.get(), 0) << ErrnoText("open");
        return;
    case HoldKind::OpenForReading:
        fd_.Reset(openat(root, name, O_RDONLY | O_CLOEXEC));
        ASSERT_GE(fd_.get(), 0) << ErrnoText("open");
        return;
    case HoldKind::OfdLock: {
        fd_.Reset(openat(root, name, O_RDWR | O_CLOEXEC));
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        ASSERT_EQ(fcntl(fd_.get(), F_OFD_SETLK, &lock), 0) << ErrnoText("F_OFD_SETLK");
        return;
    }
    case HoldKind::MappedShared:
        fd_.Reset(openat(root, name, O_RDWR | O_CLOEXEC));
        mapping_ = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get(), 0);
        ASSERT_NE(mapping_, MAP_FAILED) << ErrnoText("mmap");
        fd_.Reset();  // only the mapping holds the file now
        return;
    }
}

// A disk image attached as a loop device, and mounted if asked, until
// Detach or the end of the row.
struct LoopDisk {
    std::string device;
    std::string mountPoint;

    // Empty, or why this machine cannot.
    std::string Attach(const std::string& image, bool mounted) {
        if (geteuid() != 0) return "a loop device needs root";
        std::string problem;
        if (mounted) ToolOutput({"mkfs.ext2", "-q", "-F", image}, &problem);
        if (problem.empty()) device = ToolOutput({"losetup", "--find", "--show", image}, &problem);
        if (!problem.empty()) return problem;
        device.erase(device.find_last_not_of('\n') + 1);
        if (!mounted) return "";
        char folder[] = "/tmp/p5-mount-XXXXXX";
        if (mkdtemp(folder) == nullptr) return ErrnoText("mkdtemp");
        mountPoint = folder;
        ToolOutput({"mount", device, mountPoint}, &problem);
        return problem;
    }

    // The image then holds what reached the device.
    void Detach() {
        std::string ignored;
        if (!mountPoint.empty()) ToolOutput({"umount", mountPoint}, &ignored);
        if (!mountPoint.empty()) rmdir(mountPoint.c_str());
        if (!device.empty()) ToolOutput({"losetup", "--detach", device}, &ignored);
        device.clear();
        mountPoint.clear();
    }
    ~LoopDisk() { Detach(); }
};

// What a hold's Meanwhile does, to the files under `root`.
std::function<void()> MeanwhileAction(Meanwhile what, int root, const std::vector<std::string>& args) {
    std::string first = args.empty() ? "" : args[0];
    return [what, root, first] {
        if (what == Meanwhile::FirstReplaced) {
            EXPECT_EQ(renameat(root, "new.bin", root, first.c_str()), 0) << ErrnoText("rename");
        } else if (what == Meanwhile::FirstRemoved) {
            EXPECT_EQ(unlinkat(root, first.c_str(), 0), 0) << ErrnoText("unlink");
        }
    };
}

// A small file system mounted at a row's full/ and filled up, with an
// empty out.txt on it, until Unmount or the end of the row.
struct FullDisk {
    std::string mountPoint;

    // Empty, or why this machine cannot.
    std::string Mount(const std::string& folder) {
        if (geteuid() != 0) return "mounting needs root";
        std::string problem;
        ToolOutput({"mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", folder}, &problem);
        if (!problem.empty()) return problem;
        mountPoint = folder;
        Fd filler(open((folder + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        const std::string block(4096, 'x');
        while (write(filler.get(), block.data(), block.size()) > 0) {
        }
        Fd out(open((folder + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
        return out.valid() ? "" : ErrnoText("out.txt");
    }
    void Unmount() {
        std::string ignored;
        if (!mountPoint.empty()) ToolOutput({"umount", mountPoint}, &ignored);
        mountPoint.clear();
    }
    ~FullDisk() { Unmount(); }
};

// patch500 with `args`, or the launcher with the row's command line.
RunResult RunPatch(bool windows, const Row& row, const std::string& folder,
                   const std::vector<std::string>& args) {
    RunOptions options{.workDir = folder, .out = row.out,
                       .in = row.inFile.empty() ? row.in : StdinMode::File,
                       .errClosed = row.errClosed, .fileSizeLimit = row.fileSizeLimit,
                       .outFile = row.outFile, .inFile = row.inFile};
    // Run as root, the tests become nobody; run by an unprivileged
    // user, they check what that user gets (a lease on files it owns).
    if (row.asNobody && geteuid() == 0) options.user = kNobody;
    if (row.stdoutOnFullDisk) {
        options.out = StdoutMode::AppendToFile;
        options.outFile = "full/out.txt";
    }
    if (!row.commandLine.empty()) {
        std::vector<std::string> word;
        if (row.detached) word = {"detached"};
        if (row.renameOverHeld) word = {"rename"};
        return Run(true, "launch", word, WineLocale(options));
    }
    const char* program = row.withoutManifest ? "patch500_nomanifest" : "patch500";
    return Run(windows, program, args, windows ? WineLocale(options) : options);
}

// Its exit status and standard output, less Wine's cursor codes.
void ExpectEnding(bool windows, const Row& row, const RunResult& result) {
    ASSERT_TRUE(result.exited) << Describe(result) << "\nstderr: " << Visible(result.err);
    EXPECT_EQ(result.exitCode, windows ? row.windowsStatus.value_or(row.status) : row.status);
    std::string out = result.out;
    if (windows && row.out == StdoutMode::Terminal) {
        std::vector<std::string> writes;
        out = WithoutWineCursorCodes(result.out, &writes);
    }
    EXPECT_MATCHES(row.expected, out);
}

void RunRow(bool windows, const Row& row) {
    std::string folderPath;
    {
        testfs::TempDir dir;
        ASSERT_FALSE(dir.path().empty()) << "mkdtemp failed";
        folderPath = dir.path();
        Fd root(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_GE(root.get(), 0);

        std::vector<Before> before = row.before;
        std::vector<After> after = row.after;
        if (!row.commandLine.empty()) {
            before.push_back({"cmdline.bin", row.commandLine});
            after.push_back({"cmdline.bin", row.commandLine});
        }
        if (row.stdoutOnFullDisk) before.push_back({.name = "full", .folder = true});
        for (const Before& entry : before) ASSERT_NO_FATAL_FAILURE(Make(root.get(), entry));
        LoopDisk disk;
        FullDisk full;
        if (row.stdoutOnFullDisk) {
            std::string problem = full.Mount(dir.Path("full"));
            if (!problem.empty()) GTEST_SKIP() << "no full file system here: " << problem;
        }
        std::vector<std::string> args = row.args;
        if (row.loop != Loop::None) {
            std::string problem = disk.Attach(dir.Path("disk.img"), row.loop == Loop::Mounted);
            if (!problem.empty()) GTEST_SKIP() << "no loop device here: " << problem;
            for (std::string& arg : args) arg = arg == "@loop" ? disk.device : arg;
        }
        if (row.asNobody) {
            ASSERT_EQ(fchmod(root.get(), 0777), 0) << ErrnoText("chmod folder");
        }

        Holder holder;
        ASSERT_NO_FATAL_FAILURE(holder.Take(windows, root.get(), dir.path(), row.hold));
        if (row.within || row.hold.letGoAfter) {
            std::string watched = row.hold.name.empty() ? args.at(0) : row.hold.name;
            ASSERT_NO_FATAL_FAILURE(holder.Watch(dir.Path(watched), row.hold.letGoAfter,
                                                 MeanwhileAction(row.hold.meanwhile, root.get(), args)));
        }
        const Clock::time_point started = Clock::now();
        RunResult result = RunPatch(windows, row, dir.path(), args);
        const Clock::time_point ended = Clock::now();
        holder.Release();
        disk.Detach();
        full.Unmount();

        ASSERT_NO_FATAL_FAILURE(ExpectEnding(windows, row, result));
        if (row.within) {
            auto took = std::chrono::duration_cast<milliseconds>(
                ended - holder.firstTry().value_or(started));
            EXPECT_LE(took, *row.within) << "ended " << took.count() << " ms after "
                << (holder.firstTry() ? "its first try at the file" : "its start");
        }
        ExpectFiles(root.get(), before, after);
    }
    EXPECT_FALSE(std::filesystem::exists(folderPath)) << "left behind: " << folderPath;
}

std::vector<Row> RowsFor(Build build) {
    std::vector<Row> rows;
    for (const Row& row : kRows) {
        if (row.build == Build::Both || row.build == build) rows.push_back(row);
    }
    return rows;
}

class PatchCommandNative : public testing::TestWithParam<Row> {};
class PatchCommandWindows : public testing::TestWithParam<Row> {};

TEST_P(PatchCommandNative, PrintsExpectedLineAndLeavesExpectedFiles) { RunRow(false, GetParam()); }
TEST_P(PatchCommandWindows, PrintsExpectedLineAndLeavesExpectedFiles) { RunRow(true, GetParam()); }

INSTANTIATE_TEST_SUITE_P(Rows, PatchCommandNative, testing::ValuesIn(RowsFor(Build::Native)),
                         RowName<Row>);
INSTANTIATE_TEST_SUITE_P(Rows, PatchCommandWindows, testing::ValuesIn(RowsFor(Build::Windows)),
                         RowName<Row>);

}  // namespace
}  // namespace e2e
