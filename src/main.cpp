// quenlor2: splits a stereo 16- or 24-bit wave file into one mono wave file per channel.
#include <fcntl.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "driver.h"
#include "fail.h"
#include "wav/wav.h"

namespace {

// Prints prompt and reads one whitespace-delimited word; end of input gives an empty word.
std::string Prompt(const char* prompt) {
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    std::string word;
    int c = std::getchar();
    while (c != EOF && std::isspace(c)) c = std::getchar();
    while (c != EOF && !std::isspace(c)) {
        word.push_back(static_cast<char>(c));
        c = std::getchar();
    }
    // A name ends at a NUL byte, as it would for the file system.
    word.resize(std::strlen(word.c_str()));
    return word;
}

}  // namespace

int main(int argc, char** argv) {
    // A file opened on a closed standard descriptor would take in what is meant for the console.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) open("/dev/null", O_RDWR);
    }
    // Past a file size limit, a write then fails and is reported instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    std::string input;
    if (argc > 1) {
        input = argv[1];
    } else {
        input = Prompt("\nEnter the name of .wav file or 'h' for help: ");
        if (input == "h") {
            std::printf("Quenlor 1.021 by Tolbrin\n");
            std::printf("\nThis program will split a stereo wave file into two mono wave files.\n");
            input = Prompt("\nEnter the name of .wav file or 'x' to exit: ");
            if (input == "x") return 1;
        }
    }
    std::string left;
    std::string right;
    OUTPUT_NAMES(input, &left, &right);

    uint32_t channels[1], data_offset[1], sample_rate[1], bytes_per_sample[1], bits[1];
    GET_ATTRIBUTES(0, input.c_str(), channels, data_offset, sample_rate, bytes_per_sample, bits);
    SPLIT_TRACK(input.c_str(), left.c_str(), right.c_str(), data_offset[0], sample_rate[0],
                bits[0]);
    std::printf(MSG_DONE "\n");
    return 0;
}
