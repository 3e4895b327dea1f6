// What each mono output carries of the input's metadata: the broadcast extension for one
// channel, iXML for one channel, and the markers and tags as they are.
#include <cstring>
#include <string>

#include "wav/wav.h"

namespace {

// Offsets in a bext chunk's body: the version, the material's UMID, the loudness fields of
// version 2, and the coding history after the fixed fields.
constexpr size_t BEXT_VERSION = 346, BEXT_UMID = 348, UMID_SIZE = 64, BEXT_LOUDNESS = 412;
constexpr size_t LOUDNESS_FIELDS = 5, BEXT_HISTORY = 602;

// The bext body for one channel: the UMID cleared (the outputs are two pieces of material, not
// the input's), loudness "not given" (it was the stereo file's), and a line of coding history for
// the split; false when the body is too short to be one.
bool BextOfChannel(const std::string& body, int channel, uint32_t sample_rate,
                   uint32_t bits_per_sample, std::string* out) {
    if (body.size() < BEXT_HISTORY) return false;
    *out = body.substr(0, BEXT_HISTORY);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&(*out)[0]);
    std::memset(bytes + BEXT_UMID, 0, UMID_SIZE);
    if (Assem2(bytes + BEXT_VERSION) >= 2) {
        for (size_t k = 0; k < LOUDNESS_FIELDS; ++k) Decon2(0x7FFF, bytes + BEXT_LOUDNESS + 2 * k);
    }
    std::string history = body.substr(BEXT_HISTORY);
    history.resize(history.find_last_not_of('\0') + 1);
    // Each line ends with CR LF; some recorders leave the last one without.
    if (!history.empty() && history.back() == '\n' &&
        (history.size() < 2 || history.end()[-2] != '\r')) {
        history.insert(history.size() - 1, "\r");
    } else if (!history.empty() && history.back() != '\n') {
        history += history.back() == '\r' ? "\n" : "\r\n";
    }
    *out += history + "A=PCM,F=" + std::to_string(sample_rate) +
            ",W=" + std::to_string(bits_per_sample) + ",M=mono,T=quenlor2 " QUENLOR_VERSION "; " +
            (channel == 0 ? "left" : "right") + " channel\r\n";
    return true;
}

// The chunk of id holding body, with its pad byte.
std::string Chunk(const char* id, const std::string& body) {
    unsigned char length[4];
    Decon4(static_cast<uint32_t>(body.size()), length);
    return std::string(id, 4) + std::string(reinterpret_cast<char*>(length), 4) + body +
           (body.size() % 2 == 1 ? std::string(1, '\0') : "");
}

}  // namespace

void MONO_METADATA(const std::string& carried, const std::string& input, uint32_t sample_rate,
                   uint32_t bits_per_sample, std::string out[2], bool* ixml_left_out) {
    std::string bext[2], ixml[2], rest, changed[2];
    *ixml_left_out = false;
    for (size_t at = 0; at + 8 <= carried.size();) {
        const std::string id = carried.substr(at, 4);
        const uint32_t length =
            Assem4(reinterpret_cast<const unsigned char*>(carried.data()) + at + 4);
        const std::string body = carried.substr(at + 8, length);
        for (int channel = 0; channel < 2 && id == "bext"; ++channel) {
            if (BextOfChannel(body, channel, sample_rate, bits_per_sample, &changed[channel])) {
                bext[channel] = Chunk("bext", changed[channel]);
            }
        }
        if (id == "iXML") {
            // Left out of both outputs when either channel's can't be made.
            *ixml_left_out = !IxmlOfChannel(body, 0, input, &changed[0]) ||
                             !IxmlOfChannel(body, 1, input, &changed[1]);
            for (int channel = 0; channel < 2 && !*ixml_left_out; ++channel) {
                ixml[channel] = Chunk("iXML", changed[channel]);
            }
        }
        if (id != "bext" && id != "iXML") rest += carried.substr(at, 8 + length + length % 2);
        at += 8 + length + length % 2;
    }
    for (int channel = 0; channel < 2; ++channel)
        out[channel] = bext[channel] + ixml[channel] + rest;
}
