#include <cstdio>
#include <string>

#include "driver.h"
#include "extract/extract.h"
#include "fail.h"
#include "system.h"
#include "wav/wav.h"

namespace {

// Whether both names lead to one existing file, links followed.
bool SameFile(const char* a, const char* b) {
    uint64_t ia[ID_WORDS], ib[ID_WORDS];
    return PathIdentity(a, ia) && PathIdentity(b, ib) && ia[ID_DEVICE] == ib[ID_DEVICE] &&
           ia[ID_FILE] == ib[ID_FILE];
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
}

void SPLIT_TRACK(const char* input, const char* left, const char* right, uint32_t data_offset,
                 uint64_t data_end, uint32_t sample_rate, uint32_t bits_per_sample,
                 const uint64_t* identity) {
    uint32_t frames = 0;
    FRAME_COUNT(data_end, data_offset, bits_per_sample / 8, &frames);
    // Replacing the input would lose the recording. (Outputs are replaced, never written
    // through, so one leading to the other loses nothing.)
    DISTINCT_FILES(input, left, right);
    // A folder can't be replaced by a file: say so before the long copy, not after it.
    if (IsFolder(left) || IsFolder(right)) Fail(MSG_OPEN, 2);
    // The outputs are built under temporary names and put in place only once both are whole,
    // so an output name never shows a partial file, and concurrent runs never mix their writes.
    std::string left_temp, right_temp;
    MAKE_HEADER(left, sample_rate, bits_per_sample, frames, &left_temp);
    MAKE_HEADER(right, sample_rate, bits_per_sample, frames, &right_temp);
    COPY_DATA(input, left_temp.c_str(), data_offset, 0, bits_per_sample, frames, identity);
    COPY_DATA(input, right_temp.c_str(), data_offset, 1, bits_per_sample, frames, identity);
    if (!ReplacePair(left_temp.c_str(), left, right_temp.c_str(), right)) Fail(MSG_WRITE, 2);
}
