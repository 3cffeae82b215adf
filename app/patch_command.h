// The patch command: copies the one 500-byte file of the two named on the
// command line over the first 500 bytes of the other, in place.
#pragma once

#include <cstdint>

// Both the required length of the source and the number of bytes copied.
inline constexpr std::uint32_t PatchSize = 500;

// Runs once and ends the process on every refusal; returns only after
// "Ok" was written, for the caller to terminate normally.
void RunPatchCommand();
