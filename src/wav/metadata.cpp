// What each mono output carries of the input's metadata: the broadcast extension for one
// channel, iXML for one channel, and the markers and tags as they stand for every channel.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fail.h"
#include "system/system.h"
#include "wav/wav.h"

using Names = std::vector<std::string>;

namespace {

// Sizes in a bext chunk's body: the description (which the originator follows), the originator's
// reference, the UMID and the loudness fields of version 2.
constexpr size_t BEXT_DESCRIPTION = BEXT_ORIGINATOR, REFERENCE_SIZE = 32, UMID_SIZE = 64;
constexpr size_t LOUDNESS_FIELDS = 5;
// A basic UMID (SMPTE 330M): its universal label, for a single audio component (0x08) whose
// material number is a UUID (0x20, the instance numbered locally), then its length (0x13), an
// instance number of zeros and the 16-byte material number.
constexpr unsigned char UMID_LABEL[12] = {0x06, 0x0A, 0x2B, 0x34, 0x01, 0x01,
                                          0x01, 0x05, 0x01, 0x01, 0x08, 0x20};
constexpr size_t UMID_MATERIAL = 16, BASIC_UMID = 32;
// A cue point: its sample position, the chunk it lies in, and the block and sample within it.
constexpr size_t CUE_POINT = 24, CUE_POSITION = 4, CUE_CHUNK = 8, CUE_BLOCK = 16, CUE_OFFSET = 20;
// The take's bytes the fingerprint reads at each end of its samples.
constexpr uint64_t PRINT_END = 64 << 10;

uint64_t Fnv(const void* p, size_t n, uint64_t hash = 14695981039346656037u) {
    for (size_t k = 0; k < n; ++k)
        hash = (hash ^ static_cast<const unsigned char*>(p)[k]) * 1099511628211u;
    return hash;
}

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

// The recorder's track a TRK<n> key names; 0 for any other key.
unsigned long TrackOf(const std::string& key) {
    const std::string digits = key.substr(std::min<size_t>(key.size(), 3));
    if (key.compare(0, 3, "TRK") != 0 || digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    return std::stoul(digits);
}

// One line of a description: its text, and how it ended (CR LF, LF, or not at all, at the end).
struct Line {
    std::string text, end, key;
};

// The descriptions of the outputs (field[k], each 256 bytes) from the input's, when it is made of
// fact lines (blank lines among them), whatever their ends: each output's FILENAME line names it,
// and of the TRK<n> lines only its channel's stays, the k-th in their order, as a recorder puts
// its armed tracks in a file in order. The iXML's track of each channel (index, where it gives
// one) must be the recorder's track of that line; where it is not, or there are not as many TRK
// lines as channels, they all stay, with a line. Where an output's name doesn't fit in the field
// (or holds a control character, which would break the lines), its FILENAME line is left out rather
// than name the stereo file. Any other description stays as it is, with a line when it held facts.
void DescribeChannels(const unsigned char* input, const Names& own, const Names& index,
                      const std::vector<unsigned char*>& field) {
    const char* chars = reinterpret_cast<const char*>(input);
    const std::string text(chars, strnlen(chars, BEXT_DESCRIPTION));
    std::vector<Line> lines;
    std::vector<size_t> tracks;
    bool facts = false, other = false;
    for (size_t at = 0; at < text.size();) {
        const size_t lf = text.find('\n', at);
        Line line;
        line.text = text.substr(at, lf == std::string::npos ? std::string::npos : lf - at);
        line.end = lf == std::string::npos ? "" : "\n";
        if (!line.end.empty() && !line.text.empty() && line.text.back() == '\r') {
            line.text.pop_back(), line.end = "\r\n";
        }
        at = lf == std::string::npos ? text.size() : lf + 1;
        if (FactLine(line.text, &line.key)) {
            facts = true;
            if (TrackOf(line.key) != 0) tracks.push_back(lines.size());
        } else if (!line.text.empty()) {
            other = true;
        }
        lines.push_back(line);
    }
    if (other) {
        if (facts) std::printf(MSG_DESCRIPTION "\n");
        return;
    }
    bool matched = tracks.size() == own.size();
    for (size_t k = 0; matched && k < own.size(); ++k) {
        matched = index[k].empty() ||
                  (index[k].find_first_not_of("0123456789") == std::string::npos &&
                   index[k].size() <= 5 && std::stoul(index[k]) == TrackOf(lines[tracks[k]].key));
    }
    if (!tracks.empty() && !matched) std::printf(MSG_TRACK_LINES "\n");
    for (size_t channel = 0; channel < own.size(); ++channel) {
        std::string named, unnamed;
        for (size_t k = 0; k < lines.size(); ++k) {
            const Line& line = lines[k];
            if (matched && TrackOf(line.key) != 0 && k != tracks[channel]) continue;
            if (line.key == "FILENAME") {
                named += line.text.substr(0, line.key.size() + 2) + own[channel] + line.end;
                continue;
            }
            named += line.text + line.end;
            unnamed += line.text + line.end;
        }
        bool printable = true;
        for (const char c : own[channel])
            printable = printable && (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
        const std::string& kept = printable && named.size() <= BEXT_DESCRIPTION ? named : unnamed;
        std::memset(field[channel], 0, BEXT_DESCRIPTION);
        std::memcpy(field[channel], kept.data(), kept.size());
    }
}

// The output's reference in the 32-byte field from the input's: the input's, then the output's
// tag (in place of the input's last characters where it fills the field; in lower case where those
// were already the tag). An empty one stays empty.
void ReferenceOfChannel(unsigned char* field, const std::string& tag) {
    const char* chars = reinterpret_cast<const char*>(field);
    const size_t size = strnlen(chars, REFERENCE_SIZE);
    if (size == 0) return;
    const size_t at = std::min(size, REFERENCE_SIZE - tag.size());
    const bool same = at < size && std::string(chars + at, std::min(size - at, tag.size())) == tag;
    for (size_t k = 0; k < tag.size(); ++k) {
        field[at + k] = static_cast<unsigned char>(same ? std::tolower(tag[k]) : tag[k]);
    }
}

// The bext bodies of the outputs from the input's: their descriptions, references and UMIDs
// (basic, made from key and the channel, the same on every run from one take); loudness "not
// given" (it was the stereo file's); and a line of coding history for the split after the input's
// history, which ends at its first NUL as every reader takes it, or after a line describing the
// source where it has none.
void BextOfChannels(const char* body, size_t size, const Names& own, const Names& index,
                    const std::string& key, uint32_t sample_rate, uint32_t bits_per_sample,
                    Names* out) {
    const size_t n = own.size();
    std::vector<unsigned char*> field(n);
    out->assign(n, std::string(body, BEXT_HISTORY));
    for (size_t channel = 0; channel < n; ++channel) {
        field[channel] = reinterpret_cast<unsigned char*>(&(*out)[channel][0]);
    }
    DescribeChannels(reinterpret_cast<const unsigned char*>(body), own, index, field);
    std::string history(body + BEXT_HISTORY, strnlen(body + BEXT_HISTORY, size - BEXT_HISTORY));
    const std::string format =
        "A=PCM,F=" + std::to_string(sample_rate) + ",W=" + std::to_string(bits_per_sample);
    // Each line ends with CR LF; some recorders leave the last one without.
    if (history.empty()) {
        history = format + (n == 2 ? ",M=stereo\r\n" : ",M=multitrack\r\n");
    } else if (history.back() == '\n' && (history.size() < 2 || history.end()[-2] != '\r')) {
        history.insert(history.size() - 1, "\r");
    } else if (history.back() != '\n') {
        history += history.back() == '\r' ? "\n" : "\r\n";
    }
    for (size_t channel = 0; channel < n; ++channel) {
        unsigned char* bytes = field[channel];
        ReferenceOfChannel(bytes + BEXT_REFERENCE, ChannelTag(channel, n));
        std::memset(bytes + BEXT_UMID, 0, UMID_SIZE);
        std::memcpy(bytes + BEXT_UMID, UMID_LABEL, sizeof UMID_LABEL);
        bytes[BEXT_UMID + sizeof UMID_LABEL] = BASIC_UMID - sizeof UMID_LABEL - 1;
        const std::string uid = UidOf(key + "\numid " + ChannelWord(channel, n));
        unsigned char* material = bytes + BEXT_UMID + BASIC_UMID - UMID_MATERIAL;
        for (size_t k = 0; k < UMID_MATERIAL; ++k) {
            material[k] = static_cast<unsigned char>(std::stoul(uid.substr(2 * k, 2), nullptr, 16));
        }
        // A UUID of RFC 9562's version 8 (made as its maker chooses) and variant.
        material[6] = static_cast<unsigned char>((material[6] & 0x0F) | 0x80);
        material[8] = static_cast<unsigned char>((material[8] & 0x3F) | 0x80);
        if (Assem2(bytes + BEXT_VERSION) >= 2) {
            for (size_t k = 0; k < LOUDNESS_FIELDS; ++k) {
                Decon2(0x7FFF, bytes + BEXT_LOUDNESS + 2 * k);
            }
        }
        (*out)[channel] += history + format + ",M=mono,T=quenlor2 " QUENLOR_VERSION "; " +
                           ChannelWord(channel, n) + " channel\r\n";
    }
}

// A cue list (the size bytes of body) for a mono output of a take of n channels: a point whose
// position is given in bytes (its block start a non-zero multiple of the take's frame, its sample
// offset 0, as some editors write it) gets the byte position of the same frame in the mono output;
// positions in frames stay, and so does a block start equal to the point's position, which counts
// frames.
void CueOfChannel(char* body, size_t size, size_t n, uint32_t bits_per_sample) {
    const uint32_t frame = static_cast<uint32_t>(n) * (bits_per_sample / 8);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(body);
    const uint64_t count = Assem4(bytes);
    for (uint64_t k = 0; k < count && 4 + (k + 1) * CUE_POINT <= size; ++k) {
        unsigned char* point = bytes + 4 + k * CUE_POINT;
        const uint32_t block = Assem4(point + CUE_BLOCK);
        if (std::memcmp(point + CUE_CHUNK, "data", 4) == 0 && Assem4(point + CUE_OFFSET) == 0 &&
            block != 0 && block % frame == 0 && block != Assem4(point + CUE_POSITION)) {
            Decon4(block / static_cast<uint32_t>(n), point + CUE_BLOCK);
        }
    }
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

std::string ChannelWord(size_t channel, size_t n) {
    return n == 2 ? (channel == 0 ? "left" : "right") : std::to_string(channel + 1);
}

std::string ChannelTag(size_t channel, size_t n) {
    return n == 2 ? (channel == 0 ? "L" : "R") : "_" + std::to_string(channel + 1);
}

std::string UidOf(const std::string& text) {
    std::string uid;
    for (uint64_t seed : {uint64_t{14695981039346656037u}, uint64_t{1099511628211u}}) {
        const uint64_t hash = Fnv(text.data(), text.size(), seed);
        for (int shift = 60; shift >= 0; shift -= 4) uid += "0123456789ABCDEF"[hash >> shift & 15];
    }
    return uid;
}

void TAKE_PRINT(const char* path, uint64_t data_offset, uint64_t data_end, uint64_t* print) {
    std::FILE* file = OpenForReading(path);
    if (file == nullptr) Fail(MSG_READ, 2);
    const uint64_t size = data_end > data_offset ? data_end - data_offset : 0;
    // The length's bytes least significant first, so that every processor makes the same print.
    unsigned char length[8];
    for (int k = 0; k < 8; ++k) length[k] = static_cast<unsigned char>(size >> (8 * k));
    *print = Fnv(length, sizeof length);
    std::vector<unsigned char> bytes(static_cast<size_t>(std::min(size, PRINT_END)));
    for (const uint64_t from : {data_offset, data_end - bytes.size()}) {
        if (!SeekTo(file, from) ||
            std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
            std::fclose(file);
            Fail(MSG_READ, 2);
        }
        *print = Fnv(bytes.data(), bytes.size(), *print);
    }
    std::fclose(file);
}

void MONO_METADATA(const std::string& carried, const std::string& input, const Names& own,
                   uint32_t sample_rate, uint32_t bits_per_sample, uint64_t take, Names* out) {
    const size_t n = own.size();
    out->assign(n, "");
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
    // The take is known by the recorder's FILE_UID, or else by its fingerprint with all its
    // metadata (its time reference and date among it).
    std::string key;
    Names index(n);
    const auto ixml =
        std::find_if(chunks.begin(), chunks.end(), [](const Carried& c) { return c.id == "iXML"; });
    if (ixml != chunks.end()) IxmlTracks(carried.data() + ixml->body, ixml->length, &key, &index);
    char print[17];
    std::snprintf(print, sizeof print, "%016llX",
                  static_cast<unsigned long long>(Fnv(carried.data(), carried.size(), take)));
    const std::string by_print = print;
    Names bext(n);
    for (size_t channel = 0; channel < n; ++channel) {
        (*out)[channel].reserve(carried.size() + 4096 + 16 * (input.size() + own[channel].size()));
    }
    // bext, then iXML, then the rest in their order.
    for (const Carried& c : chunks) {
        if (c.id != "bext") continue;
        BextOfChannels(carried.data() + c.body, c.length, own, index, key.empty() ? by_print : key,
                       sample_rate, bits_per_sample, &bext);
        for (size_t channel = 0; channel < n; ++channel) {
            const size_t head = BeginChunk("bext", &(*out)[channel]);
            (*out)[channel] += bext[channel];
            EndChunk(head, &(*out)[channel]);
        }
    }
    if (ixml != chunks.end()) {
        std::vector<size_t> head(n);
        for (size_t channel = 0; channel < n; ++channel) {
            head[channel] = BeginChunk("iXML", &(*out)[channel]);
        }
        const IxmlVerdict verdict = IxmlOfChannels(carried.data() + ixml->body, ixml->length, input,
                                                   own, by_print, bext, out);
        const char* const lines[] = {nullptr, MSG_IXML_TRACKS, MSG_IXML_NOT_XML, MSG_IXML_DECLARES,
                                     MSG_IXML_TOO_DEEP};
        if (verdict != IXML_WHOLE) std::printf("%s\n", lines[verdict]);
        for (size_t channel = 0; channel < n; ++channel) {
            if (verdict > IXML_NO_TRACKS) {
                (*out)[channel].resize(head[channel]);
            } else {
                EndChunk(head[channel], &(*out)[channel]);
            }
        }
    }
    for (const Carried& c : chunks) {
        if (c.id == "bext" || c.id == "iXML") continue;
        for (std::string& one : *out) {
            const size_t head = one.size();
            one.append(carried, c.body - 8, 8 + c.length + c.length % 2);
            if (c.id == "cue ") CueOfChannel(&one[head + 8], c.length, n, bits_per_sample);
        }
    }
}
