// Command-line arguments. Index 0 is the program's own file path; 1 to
// ArgCount() the arguments, never empty; any other index the empty string.
#pragma once

#include <cstdint>

#include "runtime/base/dynstring.h"

std::int32_t ArgCount();
void ArgString(std::int32_t index, DynString& result);

// The same over a given command line, where the system hands the
// arguments over as one string: the first token, the program name as
// typed, is skipped.
std::int32_t CountArguments(const char* commandLine);
void ArgumentAt(const char* commandLine, std::int32_t index, DynString& result);

// Splits the next argument off a command line at `position`: bytes 1-32
// separate, double quotes group and are always removed, pairs of quotes at
// the start of an argument are dropped, there is no escape character.
// Stores the argument in `result` (empty at the end of the list) and
// returns the position behind it. A token of any length is taken whole.
const char* ScanArgument(const char* position, DynString& result);

// The same walk without making the argument's string: sets *none when the
// list has ended. Arguments before the one asked for are passed this way,
// so no call builds more than one string.
const char* SkipArgument(const char* position, bool* none);
