// The report line of a run-time error: the template filled with the
// number and the site's distance from the code start.
#include "runtime/terminate/terminate.h"

namespace {
constexpr std::uint32_t kLastNumberDigit = 16;   // position 17
constexpr std::uint32_t kLastAddressDigit = 28;  // position 29
}  // namespace

constinit char ErrorLine[ErrorLineLength + 1] = {};

void FillErrorLine(std::uint32_t number, std::uintptr_t site, std::uintptr_t codeStart) {
    // Start from the template, so a second report never shows digits of
    // the first.
    for (std::uint32_t i = 0; i <= ErrorLineLength; ++i) ErrorLine[i] = ErrorLineTemplate[i];

    std::uint32_t position = kLastNumberDigit;
    do {
        ErrorLine[position--] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);

    auto address = static_cast<std::uint32_t>(site - codeStart);
    position = kLastAddressDigit;
    do {
        ErrorLine[position--] = "0123456789ABCDEF"[address & 15];
        address >>= 4;
    } while (address != 0);
}
