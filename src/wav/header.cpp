// The mono header: a RIFF/WAVE file with a 16-byte PCM format chunk and the head of the data
// chunk, whose samples (and pad byte) the extractor appends later.
#include <cstdio>
#include <cstring>
#include <string>

#include "fail.h"
#include "system/system.h"
#include "wav/wav.h"

namespace {

// Offsets of the header's fields.
constexpr int RIFF_TAG = 0, RIFF_LEN = 4, WAVE_TAG = 8, FMT_TAG = 12, FMT_LEN = 16;
constexpr int FORMAT_CODE = 20, CHANNELS = 22, SAMPLE_RATE = 24, BYTE_RATE = 28;
constexpr int BLOCK_ALIGN = 32, BITS = 34, DATA_TAG = 36, DATA_LEN = 40;

}  // namespace

void HeaderBytes(uint32_t sample_rate, uint32_t bits_per_sample, uint32_t frames,
                 unsigned char* out) {
    const uint32_t bytes_per_sample = bits_per_sample / 8;
    const uint32_t data_len = frames * bytes_per_sample;
    std::memcpy(out + RIFF_TAG, "RIFF", 4);
    // A chunk of odd length is followed by a pad byte, which the RIFF length counts.
    Decon4(data_len + 36 + data_len % 2, out + RIFF_LEN);
    std::memcpy(out + WAVE_TAG, "WAVE", 4);
    std::memcpy(out + FMT_TAG, "fmt ", 4);
    Decon4(16, out + FMT_LEN);
    Decon2(1, out + FORMAT_CODE);  // PCM
    Decon2(1, out + CHANNELS);
    Decon4(sample_rate, out + SAMPLE_RATE);
    Decon4(sample_rate * bytes_per_sample, out + BYTE_RATE);
    Decon2(static_cast<uint16_t>(bytes_per_sample), out + BLOCK_ALIGN);
    Decon2(static_cast<uint16_t>(bits_per_sample), out + BITS);
    std::memcpy(out + DATA_TAG, "data", 4);
    Decon4(data_len, out + DATA_LEN);
}

void MAKE_HEADER(const char* path, uint32_t sample_rate, uint32_t bits_per_sample, uint32_t frames,
                 const std::string& metadata, int* temp) {
    unsigned char bytes[HEADER_SIZE];
    HeaderBytes(sample_rate, bits_per_sample, frames, bytes);
    // The RIFF length counts the metadata too (the caller has checked that it fits).
    Decon4(Assem4(bytes + RIFF_LEN) + static_cast<uint32_t>(metadata.size()), bytes + RIFF_LEN);
    std::FILE* out = CreateTemporary(path, temp);
    if (out == nullptr) Fail(MSG_OPEN, 2);
    // Room for the whole output (all but 8 bytes counted by the RIFF length) before the long
    // copy: a full disk shows now, not half-way.
    const bool reserved = ReserveSpace(*temp, uint64_t{Assem4(bytes + RIFF_LEN)} + 8);
    const bool written =
        std::fwrite(bytes, 1, DATA_TAG, out) == DATA_TAG &&
        std::fwrite(metadata.data(), 1, metadata.size(), out) == metadata.size() &&
        std::fwrite(bytes + DATA_TAG, 1, HEADER_SIZE - DATA_TAG, out) == HEADER_SIZE - DATA_TAG;
    // A full disk often shows only when the stream's buffer is flushed at close.
    if (std::fclose(out) != 0 || !written || !reserved) Fail(MSG_WRITE, 2);
}
