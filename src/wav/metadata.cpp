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
    if (text.empty()) return;
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
            named += line.substr(0, key.size() + 2) + own + "\r\n";
            continue;
        }
        named += line + "\r\n";
        unnamed += line + "\r\n";
    }
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

// Appends the head of a chunk of id to out; where it starts.
size_t BeginChunk(const char* id, std::string* out) {
    const size_t head = out->size();
    out->append(id, 4).append(4, '\0');
    return head;
}

// Ends the chunk begun at head, its body all that follows: its length, and its pad byte.
void EndChunk(size_t head, std::string* out) {
    const size_t size = out->size() - head - 8;
    Decon4(static_cast<uint32_t>(size), reinterpret_cast<unsigned char*>(&(*out)[head + 4]));
    if (size % 2 == 1) out->push_back('\0');
}

}  // namespace

void MONO_METADATA(const std::string& carried, const std::string& input, const std::string own[2],
                   uint32_t sample_rate, uint32_t bits_per_sample, std::string out[2],
                   bool* ixml_left_out) {
    *ixml_left_out = false;
    // The chunks as they stand in carried: their ids, and where their bodies start and end.
    struct Carried {
        std::string id;
        size_t body, length;
    };
    std::vector<Carried> chunks;
    for (size_t at = 0; at + 8 <= carried.size();) {
        const uint32_t length =
            Assem4(reinterpret_cast<const unsigned char*>(carried.data()) + at + 4);
        chunks.push_back({carried.substr(at, 4), at + 8, length});
        at += 8 + length + length % 2;
    }
    for (int channel = 0; channel < 2; ++channel) {
        out[channel].reserve(carried.size() + 4096 + 16 * (input.size() + own[channel].size()));
    }
    // bext, then iXML, then the rest in their order.
    for (const Carried& c : chunks) {
        for (int channel = 0; channel < 2 && c.id == "bext" && c.length >= BEXT_HISTORY;
             ++channel) {
            const size_t head = BeginChunk("bext", &out[channel]);
            out[channel] += BextOfChannel(carried.data() + c.body, c.length, channel, own[channel],
                                          sample_rate, bits_per_sample);
            EndChunk(head, &out[channel]);
        }
    }
    for (const Carried& c : chunks) {
        if (c.id != "iXML") continue;
        const size_t head[2] = {BeginChunk("iXML", &out[0]), BeginChunk("iXML", &out[1])};
        // Left out of both outputs when either channel's can't be made.
        *ixml_left_out = !IxmlOfChannels(carried.data() + c.body, c.length, input, own, out);
        for (int channel = 0; channel < 2; ++channel) {
            if (*ixml_left_out) {
                out[channel].resize(head[channel]);
            } else {
                EndChunk(head[channel], &out[channel]);
            }
        }
    }
    for (const Carried& c : chunks) {
        if (c.id == "bext" || c.id == "iXML") continue;
        for (int channel = 0; channel < 2; ++channel) {
            out[channel].append(carried, c.body - 8, 8 + c.length + c.length % 2);
        }
    }
}
