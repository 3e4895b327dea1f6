// make_wav [--tone] OUT BITS FRAMES [RATE]: writes a canonical stereo file, of the test samples
// (every byte differing between the channels) or, with --tone, of a tone in each channel.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wavgen.h"

int main(int argc, char** argv) {
    const bool tones = argc > 1 && std::strcmp(argv[1], "--tone") == 0;
    if (tones) --argc, ++argv;
    if (argc < 4) {
        std::fprintf(stderr, "usage: make_wav [--tone] OUT BITS FRAMES [RATE]\n");
        return 2;
    }
    const auto bits = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const uint64_t frames = std::strtoull(argv[3], nullptr, 10);
    const auto rate = static_cast<uint32_t>(argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 44100);
    if (bits != 16 && bits != 24) {
        std::fprintf(stderr, "make_wav: BITS is 16 or 24\n");
        return 2;
    }
    if (!WriteStereoWav(argv[1], bits, rate, frames, tones)) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
