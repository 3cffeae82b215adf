// The run-time error line over any number, site and code start: the input
// gives a 32-bit number and two 64-bit addresses (missing bytes are zero),
// then a second set for a second fill. Each fill must read back exactly,
// around the template, with no trace of the one before.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/terminate/terminate.h"

namespace {

constexpr std::size_t kNumberEnd = 17;     // 1-based position of the last digit
constexpr std::size_t kAddressFirst = 22;  // 1-based, 8 hex digits to 29

struct Report {
    std::uint32_t number;
    std::uint64_t site;
    std::uint64_t codeStart;
};

// Little-endian, from `data` at `*offset`; bytes past the input read as 0.
template <typename T>
T Take(const std::uint8_t* data, std::size_t size, std::size_t* offset) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i, ++*offset) {
        if (*offset < size) value |= static_cast<T>(data[*offset]) << (8 * i);
    }
    return value;
}

Report TakeReport(const std::uint8_t* data, std::size_t size, std::size_t* offset) {
    Report r;
    r.number = Take<std::uint32_t>(data, size, offset);
    r.site = Take<std::uint64_t>(data, size, offset);
    r.codeStart = Take<std::uint64_t>(data, size, offset);
    return r;
}

[[noreturn]] void Fail(const char* law, const Report& r) {
    std::fprintf(stderr,
                 "law broken: %s\nnumber %u site 0x%llx code start 0x%llx\nline \"%.40s\"\n", law,
                 r.number, static_cast<unsigned long long>(r.site),
                 static_cast<unsigned long long>(r.codeStart), ErrorLine);
    std::abort();
}

// Every check names its law and shows the report.
#define CHECK(condition, law)           \
    do {                                \
        if (!(condition)) Fail(law, r); \
    } while (0)

std::uint32_t Distance(const Report& r) {
    return static_cast<std::uint32_t>(r.site - r.codeStart);
}

void FillAndCheck(const Report& r) {
    FillErrorLine(r.number, static_cast<std::uintptr_t>(r.site),
                  static_cast<std::uintptr_t>(r.codeStart));

    CHECK(std::strlen(ErrorLine) == ErrorLineLength && ErrorLineLength == 29,
          "the line is 29 characters");

    // The number's digits end at position 17; everything else keeps the
    // template outside the address.
    const std::string digits = std::to_string(r.number);
    const std::size_t firstDigit = kNumberEnd - digits.size() + 1;  // 1-based
    for (std::size_t pos = 1; pos <= ErrorLineLength; ++pos) {
        char c = ErrorLine[pos - 1];
        if (pos >= kAddressFirst) {
            CHECK((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'),
                  "positions 22-29 are upper-case hex digits");
        } else if (pos >= firstDigit && pos <= kNumberEnd) {
            CHECK(c >= '0' && c <= '9', "the number is decimal digits");
        } else {
            CHECK(c == ErrorLineTemplate[pos - 1], "the rest of the line is the template");
        }
    }

    // Both read back.
    std::uint64_t number = 0;
    for (std::size_t pos = firstDigit; pos <= kNumberEnd; ++pos) {
        number = number * 10 + static_cast<std::uint64_t>(ErrorLine[pos - 1] - '0');
    }
    CHECK(number == r.number, "the digits read back to the number");
    std::uint32_t address = 0;
    for (std::size_t pos = kAddressFirst; pos <= ErrorLineLength; ++pos) {
        char c = ErrorLine[pos - 1];
        address = address * 16 + static_cast<std::uint32_t>(c <= '9' ? c - '0' : c - 'A' + 10);
    }
    CHECK(address == Distance(r), "the hex digits read back to (site - code start) mod 2^32");

    // The whole line, built another way.
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08X", Distance(r));
    std::string line = ErrorLineTemplate;
    line.replace(firstDigit - 1, digits.size(), digits);
    line.replace(kAddressFirst - 1, 8, hex);
    CHECK(line == ErrorLine, "the line is the template with the number and address");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t offset = 0;
    const Report first = TakeReport(data, size, &offset);
    Report second = TakeReport(data, size, &offset);
    FillAndCheck(first);
    // A second report, shorter in both fields where the input allows,
    // must not show digits of the first.
    FillAndCheck(second);
    second.number = first.number / 1000;
    second.site = second.codeStart + (Distance(first) >> 12);
    FillAndCheck(second);
    return 0;
}
