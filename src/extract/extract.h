// The channel extractor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/system.h"

// Stereo frames per block read from the input: an eighth of the take, at least MIN_BLOCK_FRAMES
// and at most BLOCK_FRAMES. Small blocks stay in the processor's cache between the read and the
// gather and cost a short take's run fewer fresh pages; large ones cost a long take fewer calls.
constexpr uint32_t MIN_BLOCK_FRAMES = 1 << 16, BLOCK_FRAMES = 1 << 18;

// A digest of the bytes read: Fletcher's checksum over 32-bit words, in sixteen lanes (one
// cache line a step, which the compiler turns into vector adds), with 64-bit sums. a sums a
// lane's words, b its running sums. It misses no change to one or two 8-byte words: within a
// lane at most two words change, by d1 and d2 (each less than 2^32 in size); a changes unless
// d2 = -d1, and then b changes by d1 times their distance in steps, less than 2^64 in size for
// any input under 256 GiB, so never 0. Words moved are two or more changed.
constexpr size_t DIGEST_LANES = 16;
struct Digest {
    uint64_t a[DIGEST_LANES], b[DIGEST_LANES];
};
// Adds the n bytes at p to digest; blocks of the same sizes in the same order give the same
// digest for the same bytes. DigestBytesPortable is the same on any processor; DigestBytes uses
// wider vectors where the processor has them (AVX2).
void DigestBytes(const unsigned char* p, size_t n, Digest* digest);
void DigestBytesPortable(const unsigned char* p, size_t n, Digest* digest);

// Appends channel (0 left, 1 right of a stereo take) of the first `frames` frames of `channels`
// samples of bits_per_sample (8 to 64) from data_offset in in_path to temporary temp (whose header
// is header_size bytes), and a pad byte when they are of odd length. The first channel's copy
// fills digest with the digest of the frames it read; every other copy's must equal it. Ends the
// process when a file can't be opened (the temporary no longer the one made), read or written, or
// its attributes read, or when the input is not, before or after the copy, the file of that
// identity holding the same frames.
void COPY_DATA(const char* in_path, int temp, int64_t data_offset, int channel, int channels,
               uint32_t bits_per_sample, uint32_t frames, const FileId& identity,
               uint64_t header_size, Digest* digest);

// Bytes the 24-bit gathers may touch past a block's last sample, in both buffers.
constexpr size_t SLACK = 8;
// Copies the 3-byte sample at `skip` of each of `frames` 6-byte frames into out, on any
// processor.
void Gather3(const unsigned char* block, size_t frames, size_t skip, unsigned char* out);
// Gather3 with the byte shuffles where the processor has them.
void Gather3Fastest(const unsigned char* block, size_t frames, size_t skip, unsigned char* out);
