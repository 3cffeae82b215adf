// The length of a zero-terminated text: the bytes before its zero. The
// compiler's own routine, so a constant text is measured while compiling;
// a program without a C library takes strlen from freestanding.cpp.
#pragma once

#include <cstddef>

inline std::size_t TextLength(const char* text) { return __builtin_strlen(text); }
