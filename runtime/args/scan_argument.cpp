// The command-line splitter: one argument at a time, with the quoting and
// backslash rules of a Windows command line.
#include "runtime/args/args.h"

namespace {

unsigned Byte(const char* p) { return static_cast<unsigned char>(*p); }
bool IsSeparator(const char* p) { return Byte(p) >= 1 && Byte(p) <= 32; }

// Walks one argument; copies its bytes to `out` when given. Run once to
// measure and once to fill, so no token is ever cut short.
const char* Collect(const char* p, char* out, std::uint32_t* length) {
    std::uint32_t n = 0;
    while (Byte(p) > 32) {
        if (*p == '"') {
            ++p;
            while (*p != 0 && *p != '"') {
                if (out != nullptr) out[n] = *p;
                ++n;
                ++p;
            }
            if (*p == '"') ++p;  // an unterminated section ends at the 0
        } else {
            if (out != nullptr) out[n] = *p;
            ++n;
            ++p;
        }
    }
    *length = n;
    return p;
}

// Separators, and pairs of quotes at the start of an argument, dropped.
const char* StartOfArgument(const char* p) {
    for (;;) {
        while (IsSeparator(p)) ++p;
        if (p[0] != '"' || p[1] != '"') return p;
        p += 2;
    }
}

}  // namespace

const char* SkipArgument(const char* position, bool* none) {
    std::uint32_t length = 0;
    const char* end = Collect(StartOfArgument(position), nullptr, &length);
    *none = length == 0;
    return end;
}

const char* ScanArgument(const char* position, DynString& result) {
    const char* p = StartOfArgument(position);
    std::uint32_t length = 0;
    Collect(p, nullptr, &length);
    DynString token = DynString::OfLength(length);
    const char* end = Collect(p, token.MutableBytes(), &length);
    result = token;
    return end;
}
