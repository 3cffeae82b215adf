// Names between the program's bytes and the system's UTF-16, converted
// here rather than by the system: the system's conversion goes through the
// ANSI code page where the UTF-8 setting is ignored (Windows before 10
// 1903), whose best-fit replacements can turn a name into another one
// (U+FF0F into '/'). Bytes are WTF-8: UTF-8, and an unpaired surrogate in
// its three-byte form, so every UTF-16 name comes back as it was.
// No system header: the native unit tests build it too.
#pragma once

#include <cstddef>
#include <cstdint>

namespace os {

inline constexpr std::size_t kNotConvertible = SIZE_MAX;

// UTF-16 units the WTF-8 text of `bytes` converts to; kNotConvertible when ill-formed.
std::size_t WideLength(const char* text, std::size_t bytes);

// WTF-8 text of `bytes` into `out` (capacity units) with a terminating
// zero; returns the units before the zero, or kNotConvertible when
// ill-formed or longer than capacity - 1 units.
std::size_t ToWide(const char* text, std::size_t bytes, char16_t* out, std::size_t capacity);

// `units` UTF-16 units (unpaired surrogates kept) into WTF-8 in `out`
// (capacity bytes) with a terminating zero; returns the bytes before the
// zero, or kNotConvertible when it does not fit.
std::size_t ToWtf8(const char16_t* text, std::size_t units, char* out, std::size_t capacity);

}  // namespace os
