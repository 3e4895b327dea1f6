// The channel extractor.
#pragma once

#include <cstdint>

// Stereo frames per block read from the input.
constexpr uint32_t BLOCK_FRAMES = 1 << 18;

// Appends channel (0 left, 1 right) of the first `frames` 16- or 24-bit stereo frames from
// data_offset in in_path to the temporary out_path. Ends the process when a file can't be
// opened (the temporary no longer the one made), read or written, or when the input is not,
// before or after the copy, the file of that identity.
void COPY_DATA(const char* in_path, const char* out_path, int64_t data_offset, int channel,
               uint32_t bits_per_sample, uint32_t frames, const uint64_t* identity);
