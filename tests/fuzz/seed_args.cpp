// Writes fuzz_args's seed inputs into the folder given: one file per
// command-line row the unit tests use, and lines with long tokens. The
// committed tests/fuzz/corpus_args is its output:
//   build/fuzz/tests/fuzz/seed_args tests/fuzz/corpus_args
#include <cstdio>
#include <string>

#include "tests/common/scan_rows.h"

namespace {

bool Write(const std::string& folder, const std::string& name, const std::string& bytes) {
    std::string path = folder + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

// A file name from a row's name: letters and digits, the rest '_'.
std::string FileName(const char* rowName) {
    std::string name = "row_";
    for (const char* p = rowName; *p != 0; ++p) {
        bool plain = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9');
        name += plain ? *p : '_';
    }
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: seed_args FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    bool ok = true;
    for (const ScanRow& row : kScanRows) ok = Write(folder, FileName(row.name), row.commandLine) && ok;

    // Long tokens, bare, quoted with separators inside, and unterminated,
    // within the fuzzer's 256-byte inputs (longer ones are checked once by
    // the fuzz target itself).
    const std::string long100(100, 'a');
    const std::string long240(240, 'b');
    ok = Write(folder, "long_bare", "prog " + long240 + " x") && ok;
    ok = Write(folder, "long_quoted", "prog \"" + std::string(100, ' ') + "\" " + long100) && ok;
    ok = Write(folder, "long_unterminated", "prog \"" + long240) && ok;
    ok = Write(folder, "long_program_name", long240 + " a b") && ok;
    if (!ok) std::perror(folder.c_str());
    return ok ? 0 : 1;
}
