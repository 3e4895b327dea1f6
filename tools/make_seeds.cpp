// make_seeds DIR: writes the fuzzing seeds, small wave files of every shape the probe meets.
#include <algorithm>
#include <fstream>
#include <string>

#include "wavgen.h"

namespace {

void Write(const std::string& dir, const std::string& name, const Bytes& b) {
    std::ofstream(dir + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string dir = argv[1];
    Bytes info;
    PutText(info, "INFOdata\x81\xFE\x00\x01");
    const Bytes list = Chunk("LIST", info);
    const Bytes s16 = StereoWav(16, 44100, 40);
    Write(dir, "s16.wav", s16);
    Write(dir, "s24.wav", StereoWav(24, 48000, 30));
    Write(dir, "ext24.wav", Cat({WavHeader(24, 2, 96000, 60, true), StereoSamples(24, 0, 10)}));
    Write(dir, "list_before.wav",
          Cat({WavHeader(16, 2, 8000, 40, false, list), StereoSamples(16, 0, 10)}));
    Write(dir, "list_after.wav", Cat({s16, list}));
    Write(dir, "odd_chunk.wav",
          Cat({WavHeader(24, 2, 8000, 36, false, Chunk("bext", Bytes(7, 0x64))),
               StereoSamples(24, 0, 6), list}));
    const Bytes s24 = StereoSamples(24, 0, 5);
    Write(dir, "rf64.wav",
          Cat({Riff({Ds64(0, s24.size() + 3, 5), Fmt(24, 2, 48000),
                     Data(Cat({s24, Bytes(3, 0x9D)}), 0xFFFFFFFF)},
                    "RF64"),
               list}));
    for (long cut : {20, 30, 40, 46}) {
        Write(dir, "cut" + std::to_string(cut) + ".wav", Bytes(s16.begin(), s16.begin() + cut));
    }
    // No format tag: the fields are read as if it stood at 15,000, and these pass.
    Bytes no_format(15100, 0x11);
    std::copy_n("data", 4, no_format.begin() + 100);
    no_format[15010] = 2;
    no_format[15011] = 0;
    no_format[15022] = 16;
    no_format[15023] = 0;
    Write(dir, "no_format.wav", no_format);
    Write(dir, "mono8.wav", Cat({WavHeader(8, 1, 8000, 8), Bytes(8, 0x80)}));
    Write(dir, "float32.wav", Cat({WavHeader(32, 2, 44100, 16), Bytes(16, 0x3F)}));
    return 0;
}
