#include <cstdio>
#include <cstring>
#include <vector>

#include "extract/extract.h"
#include "fail.h"

void COPY_DATA(const char* in_path, const char* out_path, int64_t data_offset, int channel,
               uint32_t bits_per_sample) {
    std::FILE* in = std::fopen(in_path, "rb");
    std::FILE* out = std::fopen(out_path, "ab");
    if (in == nullptr || out == nullptr) Fail(MSG_OPEN, 2);
    if (fseeko(in, 0, SEEK_END) != 0) Fail(MSG_READ, 2);
    const int64_t length = ftello(in);
    if (length < 0) Fail(MSG_READ, 2);

    const size_t sample = bits_per_sample / 8;
    const size_t frame = 2 * sample;
    const size_t skip = static_cast<size_t>(channel) * sample;
    std::vector<unsigned char> block(BLOCK_FRAMES * frame);
    std::vector<unsigned char> samples(BLOCK_FRAMES * sample);

    for (int64_t pos = data_offset; pos < length;) {
        const int64_t remaining = length - pos;
        const size_t frames = remaining >= static_cast<int64_t>(block.size())
                                  ? BLOCK_FRAMES
                                  : static_cast<size_t>(remaining) / frame;
        if (frames == 0) break;
        if (fseeko(in, pos, SEEK_SET) != 0) Fail(MSG_READ, 2);
        // Inside the length taken above, a short read means an I/O error or a file cut short.
        if (std::fread(block.data(), frame, frames, in) != frames) Fail(MSG_READ, 2);
        for (size_t k = 0; k < frames; ++k) {
            std::memcpy(&samples[k * sample], &block[k * frame + skip], sample);
        }
        if (std::fwrite(samples.data(), sample, frames, out) != frames) Fail(MSG_WRITE, 2);
        pos += static_cast<int64_t>(frames * frame);
    }
    std::fclose(in);
    if (std::fclose(out) != 0) Fail(MSG_WRITE, 2);
}
