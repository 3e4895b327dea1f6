#include "wavgen.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

unsigned char SampleByte(uint64_t i, int c, int b) {
    // The higher bits of i take part so that no two blocks of 1,024 frames look alike.
    // Each channel's bytes start elsewhere: 0x9C for the first, 0x35 for the second...
    return static_cast<unsigned char>(i * 37 + (i >> 8) * 11 + (i >> 16) * 7 +
                                      static_cast<uint64_t>(b) * 101 + 0x9Cu +
                                      0x99u * static_cast<uint64_t>(c));
}

Bytes Samples(uint32_t bits, int channels, uint64_t first, uint64_t count) {
    const int width = static_cast<int>(bits / 8);
    Bytes out;
    out.reserve(count * static_cast<uint64_t>(channels * width));
    for (uint64_t i = first; i < first + count; ++i) {
        for (int c = 0; c < channels; ++c) {
            for (int b = 0; b < width; ++b) out.push_back(SampleByte(i, c, b));
        }
    }
    return out;
}

Bytes StereoSamples(uint32_t bits, uint64_t first, uint64_t count) {
    return Samples(bits, 2, first, count);
}

Bytes ToneSamples(uint32_t bits, uint32_t rate, uint64_t first, uint64_t count) {
    // A quarter of full scale is -12 dBFS; A4 on the left, the E above it on the right.
    const double pi = 3.14159265358979323846, amplitude = 0.25 * double(1u << (bits - 1));
    Bytes out;
    for (uint64_t i = first; i < first + count; ++i) {
        for (const double hz : {440.0, 660.0}) {
            const double v = amplitude * std::sin(2 * pi * hz * double(i) / double(rate));
            PutLe(out, static_cast<uint64_t>(std::lround(v)), static_cast<int>(bits / 8));
        }
    }
    return out;
}

Bytes ChannelSamples(const Bytes& samples, size_t width, int channel, size_t channels) {
    Bytes out;
    for (size_t at = 0; at + channels * width <= samples.size(); at += channels * width) {
        const auto first = samples.begin() + static_cast<long>(at + width * size_t(channel));
        out.insert(out.end(), first, first + static_cast<long>(width));
    }
    return out;
}

void PutLe(Bytes& out, uint64_t v, int width) {
    for (int k = 0; k < width; ++k) out.push_back(static_cast<unsigned char>(v >> (8 * k)));
}

void PutText(Bytes& out, const std::string& s) {
    out.insert(out.end(), s.begin(), s.end());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes MonoWav(uint32_t bits, uint32_t rate, const Bytes& samples, int channel) {
    const Bytes mono = ChannelSamples(samples, bits / 8, channel);
    return Cat({WavHeader(bits, 1, rate, mono.size()), mono, Bytes(mono.size() % 2, 0)});
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes First(size_t n, const Bytes& file) {
    return Bytes(file.begin(), file.begin() + static_cast<long>(std::min(n, file.size())));
}

Bytes Chunk(const std::string& id, const Bytes& body, uint64_t declared) {
    Bytes c = Text(id);
    PutLe(c, declared, 4);
    c.insert(c.end(), body.begin(), body.end());
    if (body.size() % 2 != 0) c.push_back(0);
    return c;
}

Bytes Chunk(const std::string& id, const Bytes& body) {
    return Chunk(id, body, body.size());
}

namespace {

// The file's tag and the size it declares, then "WAVE" and the chunks.
Bytes Form(const std::string& tag, uint64_t size, std::initializer_list<Bytes> chunks) {
    Bytes file = Text(tag);
    PutLe(file, size, 4);
    PutText(file, "WAVE");
    for (const Bytes& chunk : chunks) file.insert(file.end(), chunk.begin(), chunk.end());
    return file;
}

}  // namespace

Bytes Riff(std::initializer_list<Bytes> chunks, const std::string& tag) {
    uint64_t size = 4;
    for (const Bytes& chunk : chunks) size += chunk.size();
    return Form(tag, tag == "RIFF" ? size : 0xFFFFFFFF, chunks);
}

Bytes FmtBody(uint32_t bits, uint32_t channels, uint32_t rate, bool extensible, uint16_t code) {
    const uint32_t align = channels * bits / 8;
    Bytes f;
    PutLe(f, extensible ? 0xFFFE : code, 2);
    PutLe(f, channels, 2);
    PutLe(f, rate, 4);
    PutLe(f, uint64_t{rate} * align, 4);
    PutLe(f, align, 2);
    PutLe(f, bits, 2);
    if (extensible) {
        PutLe(f, 22, 2);    // extension size
        PutLe(f, bits, 2);  // valid bits
        PutLe(f, 3, 4);     // front left and right
        PutLe(f, code, 2);  // sub-format, then the rest of the GUID they share
        PutText(f, std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14));
    }
    return f;
}

Bytes Fmt(uint32_t bits, uint32_t channels, uint32_t rate, bool extensible, uint16_t code) {
    return Chunk("fmt ", FmtBody(bits, channels, rate, extensible, code));
}

Bytes Data(const Bytes& samples, uint64_t declared) {
    return Chunk("data", samples, declared);
}

Bytes Data(const Bytes& samples) {
    return Chunk("data", samples);
}

Bytes Ds64(uint64_t riff_size, uint64_t data_size, uint64_t frames, size_t length,
           const std::string& id) {
    Bytes body;
    PutLe(body, riff_size, 8);
    PutLe(body, data_size, 8);
    PutLe(body, frames, 8);
    PutLe(body, 0, 4);  // no table of other chunks' sizes
    body.resize(length);
    return Chunk(id, body);
}

Bytes WavHeader(uint32_t bits, uint32_t channels, uint32_t rate, uint64_t data_bytes) {
    // The RIFF size counts the samples that follow the header, and their pad byte.
    const Bytes fmt = Fmt(bits, channels, rate);
    return Form("RIFF", 4 + fmt.size() + 8 + data_bytes + data_bytes % 2,
                {fmt, Data({}, data_bytes)});
}

Bytes StereoWav(uint32_t bits, uint32_t rate, uint64_t frames) {
    const Bytes samples = StereoSamples(bits, 0, frames);
    return Cat({WavHeader(bits, 2, rate, samples.size()), samples});
}

bool WriteStereoWav(const char* path, uint32_t bits, uint32_t rate, uint64_t frames, bool tones,
                    int channels) {
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) return false;
    const Bytes header =
        WavHeader(bits, uint32_t(channels), rate, frames * uint64_t(channels) * (bits / 8));
    bool ok = std::fwrite(header.data(), 1, header.size(), out) == header.size();
    const uint64_t piece = 1 << 16;
    for (uint64_t first = 0; ok && first < frames; first += piece) {
        const uint64_t n = std::min(piece, frames - first);
        const Bytes samples = tones && channels == 2 ? ToneSamples(bits, rate, first, n)
                                                     : Samples(bits, channels, first, n);
        ok = std::fwrite(samples.data(), 1, samples.size(), out) == samples.size();
    }
    return std::fclose(out) == 0 && ok;
}

// The fixed fields of a bext chunk's body.
constexpr size_t BEXT_FIXED = 602;

std::vector<std::pair<std::string, Bytes>> Seeds() {
    std::vector<std::pair<std::string, Bytes>> seeds;
    const Bytes list = Chunk("LIST", Text("INFOdata\x81\xFE"));
    const Bytes s16 = StereoWav(16, 44100, 40), s24 = StereoSamples(24, 0, 10);
    seeds.push_back({"s16.wav", s16});
    seeds.push_back({"s24.wav", StereoWav(24, 48000, 30)});
    seeds.push_back({"ext24.wav", Riff({Fmt(24, 2, 96000, true), Data(s24)})});
    seeds.push_back(
        {"list_before.wav", Riff({Fmt(16, 2, 8000), list, Data(StereoSamples(16, 0, 10))})});
    seeds.push_back({"list_after.wav", Cat({s16, list})});
    seeds.push_back({"odd_chunk.wav", Riff({Fmt(24, 2, 8000), Chunk("bext", Bytes(7, 0x64)),
                                            Data(StereoSamples(24, 0, 6)), list})});
    const Bytes odd = Cat({StereoSamples(24, 0, 5), Bytes(3, 0x9D)});
    seeds.push_back(
        {"rf64.wav",
         Riff({Ds64(0, odd.size(), 5), Fmt(24, 2, 48000), Data(odd, 0xFFFFFFFF), list}, "RF64")});
    for (size_t cut : {size_t{20}, size_t{30}, size_t{40}, size_t{46}}) {
        seeds.push_back({"cut" + std::to_string(cut) + ".wav", First(cut, s16)});
    }
    // No format tag: the fields are read where they would follow one at 15,000, and pass.
    seeds.push_back({"no_format.wav", Cat({Bytes(100, 0x11), Data(StereoSamples(16, 0, 3723), 0),
                                           Chunk("FMT ", FmtBody(16, 2, 11025))})});
    seeds.push_back({"mono8.wav", Riff({Fmt(8, 1, 8000), Data(Bytes(8, 0x80))})});
    seeds.push_back({"float32.wav", Riff({Fmt(32, 2, 44100), Data(Bytes(16, 0x3F))})});
    // What --keep-metadata carries: a broadcast extension, iXML with a track list, cue points.
    const Bytes ixml = Text(
        "<?xml version=\"1.0\"?><BWFXML><FILE_UID>U1</FILE_UID><TRACK_LIST>"
        "<TRACK_COUNT>2</TRACK_COUNT><TRACK><INTERLEAVE_INDEX>1</INTERLEAVE_INDEX>"
        "<NAME>A &amp; B</NAME></TRACK><TRACK><INTERLEAVE_INDEX>2"
        "</INTERLEAVE_INDEX><![CDATA[x]]><!-- c --></TRACK></TRACK_LIST>"
        "<FILE_SET/><HISTORY/></BWFXML>");
    seeds.push_back(
        {"metadata.wav",
         Riff({Chunk("bext", Cat({Bytes(346, 0x41), Bytes{2, 0}, Bytes(254, 0x80), Text("A=PCM")})),
               Chunk("iXML", ixml), Fmt(16, 2, 48000), Chunk("cue ", Bytes(28, 1)),
               Data(StereoSamples(16, 0, 9)), list})});
    // A recorder's facts in the description, tracks by their recorder numbers, iXML's copy of the
    // bext chunk, a document type, and the same document in UTF-16.
    const std::string facts = "sFILENAME=T.WAV\r\nsTRK2=Boom\nsTRK5=Plant";
    const std::string recorder =
        "<?xml version='1.0'?><!DOCTYPE BWFXML><BWFXML><TRACK_LIST><TRACK><CHANNEL_INDEX>2"
        "</CHANNEL_INDEX></TRACK><TRACK><INTERLEAVE_INDEX>2</INTERLEAVE_INDEX><CHANNEL_INDEX>5"
        "</CHANNEL_INDEX></TRACK></TRACK_LIST><FILE_SET><FILE_SET_INDEX>A</FILE_SET_INDEX>"
        "</FILE_SET><BEXT><BWF_UMID>00</BWF_UMID><BWF_LOUDNESS_VALUE>1</BWF_LOUDNESS_VALUE></BEXT>"
        "</BWFXML>";
    Bytes wide = {0xFF, 0xFE};
    for (const char c : recorder) wide.push_back(static_cast<unsigned char>(c)), wide.push_back(0);
    Bytes cue;
    for (const uint32_t v : {1u, 1u, 0u, 0x61746164u, 0u, 40u, 0u}) PutLe(cue, v, 4);
    for (const Bytes& xml : {Text(recorder), wide}) {
        Bytes description = Text(facts);
        description.resize(BEXT_FIXED, 0);
        description[346] = 2;
        seeds.push_back({"recorder" + std::to_string(seeds.size()) + ".wav",
                         Riff({Chunk("bext", description), Chunk("iXML", xml), Fmt(24, 2, 48000),
                               Chunk("cue ", cue), Data(StereoSamples(24, 0, 9)),
                               Chunk("cart", Bytes(2048, 0x63)), Chunk("umid", Bytes(3, 0))})});
    }

    // What --all-channels splits: a poly take, float (plain and extensible), 8 bits, odd frames.
    seeds.push_back({"poly6.wav", Riff({Fmt(24, 6, 48000), Data(Samples(24, 6, 0, 7))})});
    seeds.push_back(
        {"float64x3.wav", Riff({Fmt(64, 3, 44100, true, 3), Data(Samples(64, 3, 0, 5))})});
    seeds.push_back({"u8x5.wav", Riff({Fmt(8, 5, 8000), Data(Samples(8, 5, 0, 9))})});

    return seeds;
}
