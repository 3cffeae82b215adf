// WTF-8 names to UTF-16 and back, without the system's conversions.
#include "runtime/os/win32/wide_names.h"

namespace os {

namespace {

constexpr std::uint32_t kIllFormed = 0xFFFFFFFF;

bool IsLeadSurrogate(std::uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsTrailSurrogate(std::uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The code point of the sequence at p, of at most `left` bytes, and its
// length in *length; kIllFormed for a byte that starts none, a missing
// continuation, an overlong form or one above U+10FFFF. A surrogate's
// three-byte form is taken: a lone one is how WTF-8 keeps it.
std::uint32_t Decode(const unsigned char* p, std::size_t left, std::size_t* length) {
    unsigned lead = p[0];
    if (lead < 0x80) {
        *length = 1;
        return lead;
    }
    std::size_t n;
    std::uint32_t c;
    unsigned low = 0x80, high = 0xBF;  // where the second byte must lie
    if (lead < 0xC2) {
        return kIllFormed;
    } else if (lead < 0xE0) {
        n = 2;
        c = lead & 0x1F;
    } else if (lead < 0xF0) {
        n = 3;
        c = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
    } else if (lead < 0xF5) {
        n = 4;
        c = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return kIllFormed;
    }
    if (n > left || p[1] < low || p[1] > high) return kIllFormed;
    for (std::size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return kIllFormed;
        c = c << 6 | (p[i] & 0x3F);
    }
    *length = n;
    return c;
}

// Counts the units, and stores them too when `out` is given. A lead
// surrogate's form followed by a trail's is refused: a pair has one
// spelling, the four-byte form, so that no two texts name one file.
std::size_t Convert(const char* text, std::size_t bytes, char16_t* out, std::size_t capacity) {
    auto* p = reinterpret_cast<const unsigned char*>(text);
    std::size_t units = 0;
    bool afterLead = false;
    for (std::size_t i = 0; i < bytes;) {
        std::size_t length;
        std::uint32_t c = Decode(p + i, bytes - i, &length);
        if (c == kIllFormed || (afterLead && IsTrailSurrogate(c))) return kNotConvertible;
        afterLead = IsLeadSurrogate(c);
        i += length;
        std::size_t need = c >= 0x10000 ? 2 : 1;
        if (out != nullptr) {
            if (need >= capacity - units) return kNotConvertible;  // the zero must fit too
            if (need == 2) {
                out[units] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
                out[units + 1] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
            } else {
                out[units] = static_cast<char16_t>(c);
            }
        }
        units += need;
    }
    if (out != nullptr) {
        if (units >= capacity) return kNotConvertible;
        out[units] = 0;
    }
    return units;
}

}  // namespace

std::size_t WideLength(const char* text, std::size_t bytes) {
    return Convert(text, bytes, nullptr, 0);
}

std::size_t ToWide(const char* text, std::size_t bytes, char16_t* out, std::size_t capacity) {
    return Convert(text, bytes, out, capacity);
}

std::size_t ToWtf8(const char16_t* text, std::size_t units, char* out, std::size_t capacity) {
    std::size_t used = 0;
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t c = text[i];
        if (IsLeadSurrogate(c) && i + 1 < units && IsTrailSurrogate(text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00u);
        }
        std::size_t n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (n >= capacity - used) return kNotConvertible;  // the zero must fit too
        static constexpr unsigned char kLeadMark[] = {0x00, 0xC0, 0xE0, 0xF0};
        out[used++] = static_cast<char>(kLeadMark[n - 1] | (c >> (6 * (n - 1))));
        for (std::size_t k = n - 1; k > 0; --k) {
            out[used++] = static_cast<char>(0x80 | ((c >> (6 * (k - 1))) & 0x3F));
        }
    }
    if (used >= capacity) return kNotConvertible;
    out[used] = 0;
    return used;
}

}  // namespace os
