#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

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

void FRAME_COUNT(uint64_t data_end, uint32_t data_offset, uint32_t channels,
                 uint32_t bytes_per_sample, uint64_t metadata, uint32_t* frames) {
    const uint64_t data = data_end > data_offset ? data_end - data_offset : 0;
    const uint64_t count = data / (uint64_t{channels} * bytes_per_sample);
    // The RIFF length field (data length + 36, and a pad byte when the length is odd) must fit
    // in 32 bits.
    const uint64_t data_len = count * bytes_per_sample;
    if (data_len + 36 + data_len % 2 + metadata > UINT32_MAX) Fail(MSG_TOO_LARGE, 1);
    *frames = static_cast<uint32_t>(count);
}

void DISTINCT_FILES(const char* input, const std::vector<std::string>& outputs) {
    for (const std::string& output : outputs) {
        if (SameFileAt(output.c_str(), input)) Fail(MSG_SAME_FILE, 2, output.c_str(), input);
    }
}

void SPLIT_TRACK(const char* input, const std::vector<std::string>& outputs, uint32_t data_offset,
                 uint64_t data_end, uint32_t sample_rate, uint32_t bits_per_sample, uint32_t format,
                 uint32_t valid_bits, const FileId& identity, std::string* metadata) {
    const size_t n = outputs.size();
    // Each output's share of the metadata, laid out before anything is made; the input's is
    // then let go, as it may be large.
    std::vector<std::string> carried, own;
    for (const std::string& output : outputs) own.push_back(output.substr(NameStart(output)));
    uint64_t take = 0, most = 0;
    if (!metadata->empty()) TAKE_PRINT(input, data_offset, data_end, &take);
    MONO_METADATA(*metadata, input + NameStart(input), own, sample_rate, bits_per_sample, take,
                  &carried);
    std::string().swap(*metadata);
    for (const std::string& chunks : carried) most = std::max<uint64_t>(most, chunks.size());
    // What the header holds beyond its 44 bytes (float's fact chunk, the extensible form).
    std::string head, data;
    MonoHeader(sample_rate, bits_per_sample, format, valid_bits, 0, 0, &head, &data);
    uint32_t frames = 0;
    FRAME_COUNT(data_end, data_offset, static_cast<uint32_t>(n), bits_per_sample / 8,
                most + head.size() + data.size() - HEADER_SIZE, &frames);
    // Replacing the input would lose the recording. (Outputs are replaced, never written
    // through, so one leading to another loses nothing.)
    DISTINCT_FILES(input, outputs);
    // A folder can't be replaced by a file, nor can a name longer than the folder allows be
    // made: say so before the long copy, not after it.
    for (const std::string& output : outputs) {
        if (IsFolder(output.c_str()) || !NameFits(output.c_str())) Fail(MSG_OPEN, 2);
    }
    // The outputs are built under temporary names and put in place only once all are whole,
    // so an output name never shows a partial file, and concurrent runs never mix their writes.
    std::vector<int> temps(n, 0);
    std::vector<uint64_t> header(n, 0);
    for (size_t k = 0; k < n; ++k) {
        MAKE_HEADER(outputs[k].c_str(), sample_rate, bits_per_sample, format, valid_bits, frames,
                    carried[k], &temps[k], &header[k]);
    }
    Digest digest{};
    PROGRESS_START(n * uint64_t{frames} * (bits_per_sample / 8));
    for (size_t k = 0; k < n; ++k) {
        COPY_DATA(input, temps[k], data_offset, static_cast<int>(k), static_cast<int>(n),
                  bits_per_sample, frames, identity, header[k], &digest);
    }
    std::vector<std::string> kept(n);
    std::vector<const char*> names;
    for (const std::string& output : outputs) names.push_back(output.c_str());
    if (ReplaceOutputs(n, temps.data(), names.data(), kept.data())) return;
    // A previous output that can't be given back its name: say where it is, the last one in the
    // failure's line.
    EraseProgress();
    size_t last = n;
    for (size_t k = 0; k < n; ++k) {
        if (kept[k].empty()) continue;
        if (last < n) std::printf(MSG_KEPT "\n", names[last], kept[last].c_str());
        last = k;
    }
    if (last < n) Fail(MSG_KEPT, 2, names[last], kept[last].c_str());
    Fail(MSG_WRITE, 2);
}
