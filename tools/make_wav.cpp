// make_wav [--tone] [--channels N] OUT BITS FRAMES [RATE]: writes a canonical stereo file (or a
// take of N channels), of the test samples (every byte differing between the channels) or, with
// --tone, of a tone in each channel.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wavgen.h"

int main(int argc, char** argv) {
    const bool tones = argc > 1 && std::strcmp(argv[1], "--tone") == 0;
    if (tones) --argc, ++argv;
    int channels = 2;
    if (argc > 2 && std::strcmp(argv[1], "--channels") == 0) {
        channels = std::atoi(argv[2]);
        argc -= 2, argv += 2;
    }
    if (argc < 4 || channels < 1 || channels > 64) {
        std::fprintf(stderr, "usage: make_wav [--tone] [--channels N] OUT BITS FRAMES [RATE]\n");
        return 2;
    }
    const auto bits = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const uint64_t frames = std::strtoull(argv[3], nullptr, 10);
    const auto rate = static_cast<uint32_t>(argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 44100);
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
        std::fprintf(stderr, "make_wav: BITS is 8, 16, 24 or 32\n");
        return 2;
    }
    if (!WriteStereoWav(argv[1], bits, rate, frames, tones, channels)) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
