// make_wav OUT BITS FRAMES [RATE]: writes a canonical stereo test file.
#include <cstdio>
#include <cstdlib>

#include "wavgen.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: make_wav OUT BITS FRAMES [RATE]\n");
        return 2;
    }
    const auto bits = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const uint64_t frames = std::strtoull(argv[3], nullptr, 10);
    const auto rate = static_cast<uint32_t>(argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 44100);
    if (bits != 16 && bits != 24) {
        std::fprintf(stderr, "make_wav: BITS is 16 or 24\n");
        return 2;
    }
    if (!WriteStereoWav(argv[1], bits, rate, frames)) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
