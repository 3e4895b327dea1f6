// The channel extractor.
#pragma once

#include <cstdint>

// Stereo frames per block read from the input.
constexpr int64_t BLOCK_FRAMES = 1024;

// Appends channel (0 left, 1 right) of the 16- or 24-bit stereo samples that run from
// data_offset to the end of in_path to out_path; a trailing part shorter than a frame is
// dropped. Ends the process when a file can't be opened, read or written.
void COPY_DATA(const char* in_path, const char* out_path, int64_t data_offset, int channel,
               uint32_t bits_per_sample);
