// Buffered console text output. Text gathers in the record's 128-byte
// buffer and reaches the system when the buffer fills, at each line end on
// a character device, and when the record is closed.
#pragma once

#include <cstdint>

#include "runtime/base/dynstring.h"
#include "runtime/fileio/filehead.h"

extern constinit TextVar ConsoleIn;
extern constinit TextVar ConsoleOut;

void WriteText(TextVar& file, const DynString& text);
void WriteZText(TextVar& file, const char* text);
void WriteLineEnd(TextVar& file);  // carriage return, line feed, flush step
void WriteBytes(TextVar& file, const char* source, std::int32_t count);
void TextLineFlush(TextVar& file);

void OpenTextMode(TextVar& file, std::uint32_t requestedState);
void OpenTextWrite(TextVar& file);

// Routine slot values for text on the console.
std::uint32_t TextDeviceOpen(FileHead& file);
std::uint32_t TextDeviceWrite(FileHead& file);
