#include <sys/stat.h>

#include <cstdio>

#include "driver.h"
#include "extract/extract.h"
#include "fail.h"
#include "wav/wav.h"

namespace {

// Whether both names lead to one existing file, links followed.
bool SameFile(const char* a, const char* b) {
    struct stat sa {};
    struct stat sb {};
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

void FRAME_COUNT(uint64_t data_end, uint32_t data_offset, uint32_t bytes_per_sample,
                 uint32_t* frames) {
    const uint64_t data = data_end > data_offset ? data_end - data_offset : 0;
    const uint64_t count = data / (2 * bytes_per_sample);
    // The RIFF length field (data length + 36) must fit in 32 bits.
    if (count * bytes_per_sample + 36 > UINT32_MAX) Fail(MSG_TOO_LARGE, 1);
    *frames = static_cast<uint32_t>(count);
}

void DISTINCT_FILES(const char* input, const char* left, const char* right) {
    if (SameFile(left, input)) Fail(MSG_SAME_FILE, 2, left, input);
    if (SameFile(right, input)) Fail(MSG_SAME_FILE, 2, right, input);
    if (SameFile(right, left)) Fail(MSG_SAME_FILE, 2, right, left);
}

void SPLIT_TRACK(const char* input, const char* left, const char* right, uint32_t data_offset,
                 uint64_t data_end, uint32_t sample_rate, uint32_t bits_per_sample) {
    uint32_t frames = 0;
    FRAME_COUNT(data_end, data_offset, bits_per_sample / 8, &frames);
    // Truncating an output that is the input, or the other output, would destroy the recording.
    DISTINCT_FILES(input, left, right);
    MAKE_HEADER(left, sample_rate, bits_per_sample, frames);
    // A dangling link named as the right output may lead to the file the left header created.
    DISTINCT_FILES(input, left, right);
    MAKE_HEADER(right, sample_rate, bits_per_sample, frames);
    // Both copies take the frames the headers declare, whatever the input has become since.
    COPY_DATA(input, left, data_offset, 0, bits_per_sample, frames);
    COPY_DATA(input, right, data_offset, 1, bits_per_sample, frames);
}
