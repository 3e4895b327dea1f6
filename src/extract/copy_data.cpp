#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "extract/extract.h"
#include "fail.h"

namespace {

// Stream buffer of each file: large reads and writes keep the system calls few, and the cost
// is fixed whatever the input's size.
constexpr size_t STREAM_BUFFER = 1 << 20;

// Copies the sample at `skip` of each of `frames` frames of width 2 * S into out. S is a
// constant so that the compiler can vectorize the loop.
template <size_t S>
void Gather(const unsigned char* block, size_t frames, size_t skip, unsigned char* out) {
    for (size_t k = 0; k < frames; ++k) {
        std::memcpy(out + k * S, block + k * 2 * S + skip, S);
    }
}

}  // namespace

void COPY_DATA(const char* in_path, const char* out_path, int64_t data_offset, int channel,
               uint32_t bits_per_sample) {
    // Declared before the streams: they must outlive them, even when a failure ends the process.
    // Left uninitialized, so a small input touches only the pages it uses.
    const std::unique_ptr<char[]> in_buffer(new char[STREAM_BUFFER]);
    const std::unique_ptr<char[]> out_buffer(new char[STREAM_BUFFER]);
    std::FILE* in = std::fopen(in_path, "rb");
    std::FILE* out = std::fopen(out_path, "ab");
    if (in == nullptr || out == nullptr) Fail(MSG_OPEN, 2);
    std::setvbuf(in, in_buffer.get(), _IOFBF, STREAM_BUFFER);
    std::setvbuf(out, out_buffer.get(), _IOFBF, STREAM_BUFFER);
    if (fseeko(in, 0, SEEK_END) != 0) Fail(MSG_READ, 2);
    const int64_t length = ftello(in);
    if (length < 0) Fail(MSG_READ, 2);

    const size_t sample = bits_per_sample / 8;
    const size_t frame = 2 * sample;
    const size_t skip = static_cast<size_t>(channel) * sample;
    std::vector<unsigned char> block(BLOCK_FRAMES * frame);
    std::vector<unsigned char> samples(BLOCK_FRAMES * sample);

    int64_t stream_at = length;  // where the stream stands; a seek costs a system call
    for (int64_t pos = data_offset; pos < length;) {
        const int64_t remaining = length - pos;
        const size_t frames = remaining >= static_cast<int64_t>(block.size())
                                  ? BLOCK_FRAMES
                                  : static_cast<size_t>(remaining) / frame;
        if (frames == 0) break;
        if (stream_at != pos && fseeko(in, pos, SEEK_SET) != 0) Fail(MSG_READ, 2);
        // Inside the length taken above, a short read means an I/O error or a file cut short.
        if (std::fread(block.data(), frame, frames, in) != frames) Fail(MSG_READ, 2);
        if (sample == 2) {
            Gather<2>(block.data(), frames, skip, samples.data());
        } else {
            Gather<3>(block.data(), frames, skip, samples.data());
        }
        if (std::fwrite(samples.data(), sample, frames, out) != frames) Fail(MSG_WRITE, 2);
        pos += static_cast<int64_t>(frames * frame);
        stream_at = pos;
    }
    std::fclose(in);
    if (std::fclose(out) != 0) Fail(MSG_WRITE, 2);
}
