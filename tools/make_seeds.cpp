// make_seeds DIR: writes the fuzzing seeds, small wave files of every shape the probe meets.
#include <fstream>
#include <string>

#include "wavgen.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    for (const auto& [name, bytes] : Seeds()) {
        std::ofstream out(std::string(argv[1]) + "/" + name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
        if (!out) return 1;
    }
    return 0;
}
