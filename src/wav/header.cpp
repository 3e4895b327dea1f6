// The mono header: a RIFF/WAVE file with a 16-byte PCM format chunk (or float's, or the
// extensible form, with a fact chunk) and the head of the data chunk, whose samples (and pad
// byte) the extractor appends later.
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

void MonoHeader(uint32_t sample_rate, uint32_t bits_per_sample, uint32_t format,
                uint32_t valid_bits, uint32_t frames, uint64_t metadata, std::string* head,
                std::string* data) {
    unsigned char bytes[HEADER_SIZE];
    HeaderBytes(sample_rate, bits_per_sample, frames, bytes);
    head->assign(reinterpret_cast<const char*>(bytes), DATA_TAG);
    data->assign(reinterpret_cast<const char*>(bytes) + DATA_TAG, HEADER_SIZE - DATA_TAG);
    const bool extensible = valid_bits < bits_per_sample;
    if (format == CODE_FLOAT || extensible) {
        // The format chunk's extension: its size, then in the extensible form the valid bits, no
        // speaker for the channel, and the sub-format's GUID, whose first two bytes are the code.
        std::string extra(extensible ? 24 : 2, '\0');
        unsigned char* e = reinterpret_cast<unsigned char*>(&extra[0]);
        if (extensible) {
            const unsigned char guid_tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
            Decon2(22, e);
            Decon2(static_cast<uint16_t>(valid_bits), e + 2);
            Decon2(static_cast<uint16_t>(format), e + 8);
            std::memcpy(e + 10, guid_tail, sizeof guid_tail);
        }
        Decon2(static_cast<uint16_t>(extensible ? 0xFFFE : format),
               reinterpret_cast<unsigned char*>(&(*head)[FORMAT_CODE]));
        Decon4(16 + static_cast<uint32_t>(extra.size()),
               reinterpret_cast<unsigned char*>(&(*head)[FMT_LEN]));
        *head += extra;
        // Every format but plain PCM has a fact chunk: the number of samples (here, of frames).
        unsigned char fact[12];
        std::memcpy(fact, "fact", 4);
        Decon4(4, fact + 4);
        Decon4(frames, fact + 8);
        head->append(reinterpret_cast<const char*>(fact), sizeof fact);
    }
    // The RIFF length counts the metadata and what the header holds beyond the 44 bytes (the
    // caller has checked that it fits).
    unsigned char* riff = reinterpret_cast<unsigned char*>(&(*head)[RIFF_LEN]);
    Decon4(Assem4(riff) + static_cast<uint32_t>(metadata + head->size() - DATA_TAG), riff);
}

void MAKE_HEADER(const char* path, uint32_t sample_rate, uint32_t bits_per_sample, uint32_t format,
                 uint32_t valid_bits, uint32_t frames, const std::string& metadata, int* temp,
                 uint64_t* size) {
    std::string head, data;
    MonoHeader(sample_rate, bits_per_sample, format, valid_bits, frames, metadata.size(), &head,
               &data);
    std::FILE* out = CreateTemporary(path, temp);
    if (out == nullptr) Fail(MSG_OPEN, 2);
    // Room for the whole output (all but 8 bytes counted by the RIFF length) before the long
    // copy: a full disk shows now, not half-way.
    const bool reserved = ReserveSpace(
        *temp, uint64_t{Assem4(reinterpret_cast<const unsigned char*>(&head[RIFF_LEN]))} + 8);
    const bool written = std::fwrite(head.data(), 1, head.size(), out) == head.size() &&
                         std::fwrite(metadata.data(), 1, metadata.size(), out) == metadata.size() &&
                         std::fwrite(data.data(), 1, data.size(), out) == data.size();
    *size = head.size() + metadata.size() + data.size();
    // A full disk often shows only when the stream's buffer is flushed at close.
    if (std::fclose(out) != 0 || !written || !reserved) Fail(MSG_WRITE, 2);
}
