// Wave-format operations: the little-endian field codec, the input probe and the mono header.
#pragma once

#include <cstdint>
#include <string>

#include "system.h"

// b0 + b1 * 2^8 of the two bytes at p, each byte taken as 0..255.
uint32_t Assem2(const unsigned char* p);
// b0 + b1 * 2^8 + b2 * 2^16 + b3 * 2^24 of the four bytes at p (the 32-bit pattern).
uint32_t Assem4(const unsigned char* p);
// Writes the low 2 bytes of v to out, least significant first.
void Decon2(uint16_t v, unsigned char* out);
// Writes the low 3 bytes of v to out, least significant first; bits 24-31 are dropped.
void Decon3(uint32_t v, unsigned char* out);
// Writes the 4 bytes of v's 32-bit pattern to out, least significant first.
void Decon4(uint32_t v, unsigned char* out);

// Bytes of the file start that the probe looks at: tags at even positions 2..15,000, and
// fields up to 24 bytes after a format tag found at the last of them.
constexpr long PROBE_LAST_TAG_POS = 15000;
constexpr long PROBE_WINDOW = PROBE_LAST_TAG_POS + 24;

// Probes the wave file at path and fills slot [track] of each array: stereo 16- or 24-bit
// only; the samples lie from data_offset up to data_end. Fills identity with the identity of
// the file it read, and keeps that file open until the process ends. Prints its message and
// ends the process when the file can't be used.
void GET_ATTRIBUTES(int track, const char* path, uint32_t* channels, uint32_t* data_offset,
                    uint32_t* sample_rate, uint32_t* bytes_per_sample, uint32_t* bits_per_sample,
                    uint64_t* data_end, FileId* identity);

// Size of the mono header MAKE_HEADER writes.
constexpr int HEADER_SIZE = 44;
// Lays out the 44-byte PCM mono header for the given rate, width and frame count.
void HeaderBytes(uint32_t sample_rate, uint32_t bits_per_sample, uint32_t frames,
                 unsigned char* out);
// Creates a temporary file beside path, fills temp with its number and writes the 44-byte mono
// header into it; ends the process when the file can't be created or written.
void MAKE_HEADER(const char* path, uint32_t sample_rate, uint32_t bits_per_sample, uint32_t frames,
                 int* temp);
