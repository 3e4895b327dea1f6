#include <algorithm>
#include <cstdio>
#include <string>

#include "driver.h"
#include "extract/extract.h"
#include "fail.h"
#include "progress.h"
#include "system/system.h"
#include "turn/pair.h"
#include "wav/wav.h"

namespace {

// Whether both names lead to one existing file, links followed.
bool SameFileAt(const char* a, const char* b) {
    FileId ia{}, ib{};
    return PathIdentity(a, &ia, nullptr) && PathIdentity(b, &ib, nullptr) && SameFile(ia, ib);
}

}  // namespace

void FRAME_COUNT(uint64_t data_end, uint32_t data_offset, uint32_t bytes_per_sample,
                 uint64_t metadata, uint32_t* frames) {
    const uint64_t data = data_end > data_offset ? data_end - data_offset : 0;
    const uint64_t count = data / (2 * bytes_per_sample);
    // The RIFF length field (data length + 36, and a pad byte when the length is odd) must fit
    // in 32 bits.
    const uint64_t data_len = count * bytes_per_sample;
    if (data_len + 36 + data_len % 2 + metadata > UINT32_MAX) Fail(MSG_TOO_LARGE, 1);
    *frames = static_cast<uint32_t>(count);
}

void DISTINCT_FILES(const char* input, const char* left, const char* right) {
    if (SameFileAt(left, input)) Fail(MSG_SAME_FILE, 2, left, input);
    if (SameFileAt(right, input)) Fail(MSG_SAME_FILE, 2, right, input);
}

void SPLIT_TRACK(const char* input, const char* left, const char* right, uint32_t data_offset,
                 uint64_t data_end, uint32_t sample_rate, uint32_t bits_per_sample,
                 const FileId& identity, std::string* metadata) {
    // Each output's share of the metadata, laid out before anything is made; the input's is
    // then let go, as it may be large.
    std::string carried[2];
    const std::string own[2] = {left + NameStart(left), right + NameStart(right)};
    uint64_t take = 0;
    if (!metadata->empty()) TAKE_PRINT(input, data_offset, data_end, &take);
    MONO_METADATA(*metadata, input + NameStart(input), own, sample_rate, bits_per_sample, take,
                  carried);
    std::string().swap(*metadata);
    uint32_t frames = 0;
    FRAME_COUNT(data_end, data_offset, bits_per_sample / 8,
                std::max(carried[0].size(), carried[1].size()), &frames);
    // Replacing the input would lose the recording. (Outputs are replaced, never written
    // through, so one leading to the other loses nothing.)
    DISTINCT_FILES(input, left, right);
    // A folder can't be replaced by a file, nor can a name longer than the folder allows be
    // made: say so before the long copy, not after it.
    if (IsFolder(left) || IsFolder(right) || !NameFits(left) || !NameFits(right)) {
        Fail(MSG_OPEN, 2);
    }
    // The outputs are built under temporary names and put in place only once both are whole,
    // so an output name never shows a partial file, and concurrent runs never mix their writes.
    int left_temp = 0, right_temp = 0;
    MAKE_HEADER(left, sample_rate, bits_per_sample, frames, carried[0], &left_temp);
    MAKE_HEADER(right, sample_rate, bits_per_sample, frames, carried[1], &right_temp);
    Digest digest{};
    PROGRESS_START(2 * uint64_t{frames} * (bits_per_sample / 8));
    COPY_DATA(input, left_temp, data_offset, 0, bits_per_sample, frames, identity,
              HEADER_SIZE + carried[0].size(), &digest);
    COPY_DATA(input, right_temp, data_offset, 1, bits_per_sample, frames, identity,
              HEADER_SIZE + carried[1].size(), &digest);
    std::string kept[2];
    const int temps[2] = {left_temp, right_temp};
    const char* const names[2] = {left, right};
    if (ReplaceOutputs(2, temps, names, kept)) return;
    // A previous output that can't be given back its name: say where it is.
    EraseProgress();
    if (!kept[0].empty() && !kept[1].empty()) std::printf(MSG_KEPT "\n", left, kept[0].c_str());
    if (!kept[1].empty()) Fail(MSG_KEPT, 2, right, kept[1].c_str());
    if (!kept[0].empty()) Fail(MSG_KEPT, 2, left, kept[0].c_str());
    Fail(MSG_WRITE, 2);
}
