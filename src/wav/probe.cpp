// The input probe: finds the format and data tags near the start of the file and judges the
// file by its channel count and bits per sample alone.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "fail.h"
#include "wav/wav.h"

namespace {

// Offsets of the fields that follow the format tag.
constexpr long FMT_CHANNELS = 10;
constexpr long FMT_SAMPLE_RATE = 12;
constexpr long FMT_BITS = 22;

// First even position 2..15,000 at which tag stands wholly inside the file; -1 if none.
long FindTag(const unsigned char* window, size_t got, const char* tag) {
    const size_t len = std::strlen(tag);
    for (long pos = 2; pos <= PROBE_LAST_TAG_POS; pos += 2) {
        const size_t at = static_cast<size_t>(pos);
        if (at + len <= got && std::memcmp(window + at, tag, len) == 0) return pos;
    }
    return -1;
}

// The little-endian field of width 2 or 4 at pos; a field reaching past the end reads as 0.
uint32_t Field(const unsigned char* window, size_t got, long pos, size_t width) {
    const size_t at = static_cast<size_t>(pos);
    if (at + width > got) return 0;
    return width == 2 ? Assem2(window + at) : Assem4(window + at);
}

}  // namespace

void GET_ATTRIBUTES(int track, const char* path, uint32_t* channels, uint32_t* data_offset,
                    uint32_t* sample_rate, uint32_t* bytes_per_sample, uint32_t* bits_per_sample) {
    // Only a regular file is a recording. A folder, a device or a FIFO is none, and opening
    // without blocking lets a FIFO with no writer be refused instead of waited on forever.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) Fail(MSG_NO_FILE, 2, path);
    std::FILE* in = fdopen(fd, "rb");
    if (in == nullptr) Fail(MSG_NO_FILE, 2, path);
    // Every tag and field the probe may look at lies in the window, so one read serves all.
    unsigned char window[PROBE_WINDOW];
    const size_t got = std::fread(window, 1, sizeof window, in);
    if (std::ferror(in)) Fail(MSG_READ, 2);
    std::fclose(in);

    long fmt = FindTag(window, got, "fmt");
    if (fmt < 0) {
        // Read on as if the tag stood at the last place tried: a file without one is then
        // judged by whatever bytes stand there, and almost always refused as not stereo.
        std::printf(MSG_NO_FORMAT "\n");
        fmt = PROBE_LAST_TAG_POS;
    }
    channels[track] = Field(window, got, fmt + FMT_CHANNELS, 2);
    if (channels[track] != 2) Fail(MSG_NOT_STEREO, 1);
    bits_per_sample[track] = Field(window, got, fmt + FMT_BITS, 2);
    if (bits_per_sample[track] != 16 && bits_per_sample[track] != 24) Fail(MSG_BITS, 1);
    bytes_per_sample[track] = bits_per_sample[track] / 8;
    sample_rate[track] = Field(window, got, fmt + FMT_SAMPLE_RATE, 4);

    const long data = FindTag(window, got, "data");
    if (data < 0) Fail(MSG_NO_DATA, 2);
    data_offset[track] = static_cast<uint32_t>(data + 8);
}
