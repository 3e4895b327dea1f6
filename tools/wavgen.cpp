#include "wavgen.h"

#include <algorithm>
#include <cstdio>

unsigned char SampleByte(uint64_t i, int c, int b) {
    // The higher bits of i take part so that no two blocks of 1,024 frames look alike.
    return static_cast<unsigned char>(i * 37 + (i >> 8) * 11 + (i >> 16) * 7 +
                                      static_cast<uint64_t>(b) * 101 + (c == 0 ? 0x9Cu : 0x35u));
}

Bytes StereoSamples(uint32_t bits, uint64_t first, uint64_t count) {
    const int width = static_cast<int>(bits / 8);
    Bytes out;
    out.reserve(count * 2 * static_cast<uint64_t>(width));
    for (uint64_t i = first; i < first + count; ++i) {
        for (int c = 0; c < 2; ++c) {
            for (int b = 0; b < width; ++b) out.push_back(SampleByte(i, c, b));
        }
    }
    return out;
}

Bytes ChannelSamples(const Bytes& stereo, size_t width, int channel) {
    Bytes out;
    for (size_t at = 0; at + 2 * width <= stereo.size(); at += 2 * width) {
        const auto first = stereo.begin() + static_cast<long>(at + width * size_t(channel));
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
    return Cat({WavHeader(bits, 1, rate, mono.size()), mono});
}

Bytes Chunk(const std::string& id, const Bytes& body) {
    Bytes c;
    PutText(c, id);
    PutLe(c, body.size(), 4);
    c.insert(c.end(), body.begin(), body.end());
    if (body.size() % 2 != 0) c.push_back(0);
    return c;
}

Bytes Riff(std::initializer_list<Bytes> chunks, const std::string& tag) {
    Bytes body;
    PutText(body, "WAVE");
    for (const Bytes& chunk : chunks) body.insert(body.end(), chunk.begin(), chunk.end());
    Bytes file;
    PutText(file, tag);
    PutLe(file, tag == "RIFF" ? body.size() : 0xFFFFFFFF, 4);
    return Cat({file, body});
}

Bytes Fmt(uint32_t bits, uint32_t channels, uint32_t rate, bool extensible) {
    const Bytes head = WavHeader(bits, channels, rate, 0, extensible);
    return Bytes(head.begin() + 12, head.end() - 8);
}

Bytes Chunk(const std::string& id, const Bytes& body, uint64_t declared) {
    Bytes c = Chunk(id, body);
    for (int k = 0; k < 4; ++k) c[4 + size_t(k)] = static_cast<unsigned char>(declared >> (8 * k));
    return c;
}

Bytes Data(const Bytes& samples, uint64_t declared) {
    return Chunk("data", samples, declared);
}

Bytes Data(const Bytes& samples) {
    return Chunk("data", samples);
}

Bytes Ds64(uint64_t riff_size, uint64_t data_size, uint64_t frames, size_t length) {
    Bytes body;
    PutLe(body, riff_size, 8);
    PutLe(body, data_size, 8);
    PutLe(body, frames, 8);
    PutLe(body, 0, 4);  // no table of other chunks' sizes
    body.resize(length);
    return Chunk("ds64", body);
}

Bytes WavHeader(uint32_t bits, uint32_t channels, uint32_t rate, uint64_t data_bytes,
                bool extensible, const Bytes& between) {
    const uint32_t fmt_size = extensible ? 40 : 16;
    const uint32_t align = channels * bits / 8;
    Bytes h;
    PutText(h, "RIFF");
    PutLe(h, 4 + 8 + fmt_size + between.size() + 8 + data_bytes, 4);
    PutText(h, "WAVEfmt ");
    PutLe(h, fmt_size, 4);
    PutLe(h, extensible ? 0xFFFE : 1, 2);
    PutLe(h, channels, 2);
    PutLe(h, rate, 4);
    PutLe(h, uint64_t{rate} * align, 4);
    PutLe(h, align, 2);
    PutLe(h, bits, 2);
    if (extensible) {
        PutLe(h, 22, 2);    // extension size
        PutLe(h, bits, 2);  // valid bits
        PutLe(h, 3, 4);     // front left and right
        PutLe(h, 1, 2);     // PCM sub-format, then the rest of its GUID
        PutText(h, std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14));
    }
    h.insert(h.end(), between.begin(), between.end());
    PutText(h, "data");
    PutLe(h, data_bytes, 4);
    return h;
}

Bytes StereoWav(uint32_t bits, uint32_t rate, uint64_t frames) {
    Bytes file = WavHeader(bits, 2, rate, frames * 2 * (bits / 8));
    const Bytes samples = StereoSamples(bits, 0, frames);
    file.insert(file.end(), samples.begin(), samples.end());
    return file;
}

bool WriteStereoWav(const char* path, uint32_t bits, uint32_t rate, uint64_t frames) {
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) return false;
    const Bytes header = WavHeader(bits, 2, rate, frames * 2 * (bits / 8));
    bool ok = std::fwrite(header.data(), 1, header.size(), out) == header.size();
    const uint64_t piece = 1 << 16;
    for (uint64_t first = 0; ok && first < frames; first += piece) {
        const Bytes samples = StereoSamples(bits, first, std::min(piece, frames - first));
        ok = std::fwrite(samples.data(), 1, samples.size(), out) == samples.size();
    }
    return std::fclose(out) == 0 && ok;
}

std::vector<std::pair<std::string, Bytes>> Seeds() {
    std::vector<std::pair<std::string, Bytes>> seeds;
    Bytes info;
    PutText(info, "INFOdata\x81\xFE\x00\x01");
    const Bytes list = Chunk("LIST", info);
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
    for (long cut : {20, 30, 40, 46}) {
        seeds.push_back(
            {"cut" + std::to_string(cut) + ".wav", Bytes(s16.begin(), s16.begin() + cut)});
    }
    // No format tag: the fields are read as if it stood at 15,000, and these pass.
    Bytes no_format(15100, 0x11);
    std::copy_n("data", 4, no_format.begin() + 100);
    no_format[15010] = 2;
    no_format[15011] = 0;
    no_format[15022] = 16;
    no_format[15023] = 0;
    seeds.push_back({"no_format.wav", no_format});
    seeds.push_back({"mono8.wav", Riff({Fmt(8, 1, 8000), Data(Bytes(8, 0x80))})});
    seeds.push_back({"float32.wav", Riff({Fmt(32, 2, 44100), Data(Bytes(16, 0x3F))})});

    return seeds;
}
