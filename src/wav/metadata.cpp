// What each mono output carries of the input's metadata: the broadcast extension for one
// channel, iXML for one channel, and the markers and tags as they are.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "wav/wav.h"

namespace {

// Offsets in a bext chunk's body: the description, the version, the material's UMID, the
// loudness fields of version 2, and the coding history after the fixed fields.
constexpr size_t BEXT_DESCRIPTION = 256, BEXT_VERSION = 346, BEXT_UMID = 348, UMID_SIZE = 64;
constexpr size_t BEXT_LOUDNESS = 412, LOUDNESS_FIELDS = 5;

// Whether line is <letter>KEY=VALUE, as recorders write their take's facts; sets key.
bool FactLine(const std::string& line, std::string* key) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq < 2 || !std::isalpha(static_cast<unsigned char>(line[0])) ||
        line.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_",
                               1) != eq ||
        line.find_first_of("\r\n") != std::string::npos) {
        return false;
    }
    *key = line.substr(1, eq - 1);
    return true;
}

// A description made of fact lines, each ending CR LF, rewritten for the output of channel named
// own: its FILENAME line names the output, and of the TRK<n> lines only the channel's own stays.
// Where the output's name doesn't fit in the field (or holds a control character, which would
// break the lines), its FILENAME line is left out rather than name the stereo file. Any other
// description stays as it is.
void DescribeChannel(unsigned char* field, int channel, const std::string& own) {
    const char* chars = reinterpret_cast<const char*>(field);
    const std::string text(chars, strnlen(chars, BEXT_DESCRIPTION));
    std::string named, unnamed, key;
    for (size_t at = 0, end = 0; at < text.size(); at = end + 2) {
        end = text.find("\r\n", at);
        const std::string line = text.substr(at, end - at);
        if (end == std::string::npos || !FactLine(line, &key)) return;
        const std::string digits = key.substr(std::min<size_t>(key.size(), 3));
        if (key.compare(0, 3, "TRK") == 0 && !digits.empty() && digits.size() <= 5 &&
            digits.find_first_not_of("0123456789") == std::string::npos) {
            if (std::stoul(digits) != static_cast<unsigned long>(channel + 1)) continue;
        }
        if (key == "FILENAME") {
            named += line.substr(0, line.find('=') + 1) + own + "\r\n";
            continue;
        }
        named += line + "\r\n";
        unnamed += line + "\r\n";
    }
    if (text.empty()) return;
    bool printable = true;
    for (const char c : own)
        printable = printable && (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    const std::string& kept = printable && named.size() <= BEXT_DESCRIPTION ? named : unnamed;
    std::memset(field, 0, BEXT_DESCRIPTION);
    std::memcpy(field, kept.data(), kept.size());
}

// The bext body for the output of channel named own: its description for that output, the UMID
// cleared (the outputs are two pieces of material, not the input's), loudness "not given" (it
// was the stereo file's), and a line of coding history for the split after the input's history,
// which ends at its first NUL as every reader takes it.
std::string BextOfChannel(const char* body, size_t size, int channel, const std::string& own,
                          uint32_t sample_rate, uint32_t bits_per_sample) {
    std::string out(body, BEXT_HISTORY);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&out[0]);
    DescribeChannel(bytes, channel, own);
    std::memset(bytes + BEXT_UMID, 0, UMID_SIZE);
    if (Assem2(bytes + BEXT_VERSION) >= 2) {
        for (size_t k = 0; k < LOUDNESS_FIELDS; ++k) Decon2(0x7FFF, bytes + BEXT_LOUDNESS + 2 * k);
    }
    std::string history(body + BEXT_HISTORY, strnlen(body + BEXT_HISTORY, size - BEXT_HISTORY));
    // Each line ends with CR LF; some recorders leave the last one without.
    if (!history.empty() && history.back() == '\n' &&
        (history.size() < 2 || history.end()[-2] != '\r')) {
        history.insert(history.size() - 1, "\r");
    } else if (!history.empty() && history.back() != '\n') {
        history += history.back() == '\r' ? "\n" : "\r\n";
    }
    return out + history + "A=PCM,F=" + std::to_string(sample_rate) +
           ",W=" + std::to_string(bits_per_sample) + ",M=mono,T=quenlor2 " QUENLOR_VERSION "; " +
           (channel == 0 ? "left" : "right") + " channel\r\n";
}

// Appends the chunk of id holding body, with its pad byte.
void PutChunk(const char* id, const char* body, size_t size, std::string* out) {
    unsigned char length[4];
    Decon4(static_cast<uint32_t>(size), length);
    out->append(id, 4).append(reinterpret_cast<char*>(length), 4).append(body, size);
    if (size % 2 == 1) out->push_back('\0');
}

}  // namespace

void MONO_METADATA(const std::string& carried, const std::string& input, const std::string own[2],
                   uint32_t sample_rate, uint32_t bits_per_sample, std::string out[2],
                   bool* ixml_left_out) {
    *ixml_left_out = false;
    // The chunks as they stand in carried: their ids and where their bodies start.
    std::vector<std::pair<std::string, size_t>> chunks;
    for (size_t at = 0; at + 8 <= carried.size();) {
        const uint32_t length =
            Assem4(reinterpret_cast<const unsigned char*>(carried.data()) + at + 4);
        chunks.push_back({carried.substr(at, 4), at + 8});
        at += 8 + length + length % 2;
    }
    const auto length = [&](size_t body) {
        return size_t{Assem4(reinterpret_cast<const unsigned char*>(carried.data()) + body - 4)};
    };
    for (int channel = 0; channel < 2; ++channel) {
        out[channel].reserve(carried.size() + 4096 + 16 * (input.size() + own[channel].size()));
    }
    // bext, then iXML, then the rest in their order.
    for (const auto& [id, body] : chunks) {
        for (int channel = 0; channel < 2 && id == "bext" && length(body) >= BEXT_HISTORY;
             ++channel) {
            const std::string bext = BextOfChannel(carried.data() + body, length(body), channel,
                                                   own[channel], sample_rate, bits_per_sample);
            PutChunk("bext", bext.data(), bext.size(), &out[channel]);
        }
    }
    for (const auto& [id, body] : chunks) {
        if (id != "iXML") continue;
        size_t head[2];
        for (int channel = 0; channel < 2; ++channel) {
            head[channel] = out[channel].size();
            out[channel].append("iXML\0\0\0\0", 8);
        }
        // Left out of both outputs when either channel's can't be made.
        *ixml_left_out = !IxmlOfChannels(carried.data() + body, length(body), input, own, out);
        for (int channel = 0; channel < 2; ++channel) {
            std::string& o = out[channel];
            if (*ixml_left_out) {
                o.resize(head[channel]);
                continue;
            }
            const size_t size = o.size() - head[channel] - 8;
            Decon4(static_cast<uint32_t>(size),
                   reinterpret_cast<unsigned char*>(&o[head[channel] + 4]));
            if (size % 2 == 1) o.push_back('\0');
        }
    }
    for (const auto& [id, body] : chunks) {
        if (id == "bext" || id == "iXML") continue;
        for (int channel = 0; channel < 2; ++channel) {
            out[channel].append(carried, body - 8, 8 + length(body) + length(body) % 2);
        }
    }
}
