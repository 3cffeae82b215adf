#include "programs.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "runtime/terminate/terminate.h"

namespace e2e {

namespace {
const std::string kSourceDir = P5_SOURCE_DIR;
const std::string kNativeDir = P5_NATIVE_DIR;
const std::string kEmulator = P5_EMULATOR;  // words separated by spaces; empty: none

std::string ToolOr(const char* configured, const char* fallback) {
    return *configured != 0 ? configured : fallback;
}
}  // namespace

const std::string kReadelf = ToolOr(P5_READELF, "readelf");
const std::string kNm = ToolOr(P5_NM, "nm");
const std::string kAddr2line = ToolOr(P5_ADDR2LINE, "addr2line");
const std::string kLinkage = P5_LINKAGE;
const std::string kWindowsBuild = std::getenv("P5_WINDOWS") != nullptr ? std::getenv("P5_WINDOWS")
                                                                         : "win64";

std::string ProgramPath(bool windows, const std::string& program) {
    return windows ? kSourceDir + "/build/" + kWindowsBuild + "/" + program + ".exe"
                   : kNativeDir + "/" + program;
}

std::string WindowsTool(const std::string& tool) {
    return (kWindowsBuild == "win32" ? "i686-w64-mingw32-" : "x86_64-w64-mingw32-") + tool;
}

std::vector<std::string> WineCommand(const std::string& exe, const std::vector<std::string>& args) {
    std::vector<std::string> command{kSourceDir + "/tools/wine",
                                     kWindowsBuild == "win32" ? "--32" : "--64", exe};
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

std::vector<std::string> NativeCommand(const std::string& program,
                                       const std::vector<std::string>& args) {
    std::vector<std::string> command;
    std::istringstream words(kEmulator);
    for (std::string word; words >> word;) command.push_back(word);
    command.push_back(ProgramPath(false, program));
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

RunResult Run(bool windows, const std::string& program, const std::vector<std::string>& args,
              RunOptions options) {
    std::string path = ProgramPath(windows, program);
    if (!windows) {
        // In a sanitizer build, faults must reach the program's own handler,
        // whatever the inherited settings say; other builds ignore this.
        const char* inherited = std::getenv("ASAN_OPTIONS");
        std::string asan = inherited != nullptr ? inherited : "";
        if (!asan.empty()) asan += ':';
        options.setEnv.push_back("ASAN_OPTIONS=" + asan + "allow_user_segv_handler=1");
        return RunProgram(NativeCommand(program, args), options);
    }
    // Where 32-bit programs run only under an emulator, each run takes long.
    if (const char* seconds = std::getenv("P5_RUN_SECONDS"); seconds != nullptr) {
        options.timeout = std::chrono::seconds(std::atoi(seconds));
    }
    return RunProgram(WineCommand(path, args), options);
}

std::string Visible(const std::string& bytes) {
    std::string shown;
    for (unsigned char c : bytes) {
        if (c == '\r') shown += "\\r";
        else if (c == '\n') shown += "\\n";
        else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            shown += hex;
        } else shown += static_cast<char>(c);
    }
    return '"' + shown + '"';
}

std::string ReportLine(std::uint32_t number) {
    std::string line = ErrorLineTemplate;
    char digits[8];
    std::snprintf(digits, sizeof digits, "%4u", number);
    line.replace(13, 4, digits);        // positions 14 to 17
    line.replace(21, 8, "########");  // the address, 22 to 29
    return line + "\r\n";
}

bool Matches(const std::string& pattern, const std::string& text) {
    if (pattern.size() != text.size()) return false;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        char c = text[i];
        bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        if (pattern[i] == '#' ? !hex : pattern[i] != c) return false;
    }
    return true;
}

std::string WithoutWineCursorCodes(const std::string& raw, std::vector<std::string>* writes) {
    const std::string hide = "\x1b[?25l", show = "\x1b[?25h";
    std::string text, current;
    for (std::size_t i = 0; i < raw.size();) {
        bool isHide = raw.compare(i, hide.size(), hide) == 0;
        if (isHide || raw.compare(i, show.size(), show) == 0) {
            if (!current.empty()) writes->push_back(current);
            current.clear();
            i += hide.size();
        } else {
            text += raw[i];
            current += raw[i++];
        }
    }
    if (!current.empty()) writes->push_back(current);
    return text;
}

std::string Bytes(std::size_t count, std::uint32_t seed) {
    std::string bytes(count, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (char& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<char>(x >> 24);
    }
    return bytes;
}

std::string SourceBytes() {
    std::string bytes = Bytes(500, 1);
    const std::string marks("\0\r\n\x1a\r\r\n\n\x1a\0", 10);
    bytes.replace(0, marks.size(), marks);
    bytes.replace(250, marks.size(), marks);
    bytes.replace(500 - marks.size(), marks.size(), marks);
    return bytes;
}

std::string Over(const std::string& target, const std::string& bytes) {
    return bytes + (target.size() > bytes.size() ? target.substr(bytes.size()) : "");
}

}  // namespace e2e
