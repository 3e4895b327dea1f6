// quenlor2: splits a stereo 16- or 24-bit wave file (on request, a take of any channels of PCM or
// float) into one mono wave file per channel.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver.h"
#include "fail.h"
#include "system/system.h"
#include "wav/wav.h"

namespace {

// Prints prompt and reads one word: up to white space, or, when it starts with a double or a
// single quote, up to the matching quote (or the line's end), spaces included and the quotes
// left out, as Explorer and terminals type the path of a file dropped on the window. End of
// input gives an empty word.
std::string Prompt(const char* prompt) {
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    std::string word;
    int c = std::getchar();
    while (c != EOF && std::isspace(c)) c = std::getchar();
    const int quote = c == '"' || c == '\'' ? c : EOF;
    if (quote != EOF) c = std::getchar();
    while (c != EOF && (quote != EOF ? c != quote && c != '\n' : !std::isspace(c))) {
        word.push_back(static_cast<char>(c));
        c = std::getchar();
    }
    // A name ends at a NUL byte, as it would for the file system.
    word.resize(std::strlen(word.c_str()));
    return word;
}

// The help screen's first line; the version comes from the build.
#define TITLE "Quenlor " QUENLOR_VERSION " by Tolbrin"

const char* const VERSION =
    "quenlor2 (Quenlor) " QUENLOR_VERSION
    "\n"
    "Copyright (c) 2026 the Quenlor authors\n"
    "License MIT <https://opensource.org/licenses/MIT>: you are free to change and\n"
    "redistribute it. There is NO WARRANTY, to the extent permitted by law.\n";

const char* const USAGE =
    "Usage: quenlor2 [--keep-metadata] [--all-channels] [FILE]\n"
    "Split a stereo 16- or 24-bit PCM wave FILE into two mono wave files: NAMEL.wav\n"
    "(left channel) and NAMER.wav (right channel) beside FILE, where NAME is FILE's\n"
    "name up to its first dot (take.1.wav and take.2.wav both give takeL.wav).\n"
    "Existing files of those names are replaced.\n"
    "Without FILE, ask for its name ('h' at the first prompt shows a help line).\n"
    "Only the first FILE is split; further arguments are ignored. To split many:\n"
    "  for f in *.wav; do quenlor2 \"$f\"; done\n"
    "(a loop over files of one NAME keeps only the last one's pair).\n"
    "Options count only before FILE, as its first arguments.\n"
    "\n"
    "Options:\n"
    "      --keep-metadata  carry the time code, track names, markers and tags\n"
    "                       (bext, iXML, LIST, cue) into each output\n"
    "      --all-channels   split a take of 2 to 64 channels of 8-, 16-, 24- or\n"
    "                       32-bit PCM or 32- or 64-bit float into one file per\n"
    "                       channel: NAME_1.wav ... NAME_N.wav (a stereo take:\n"
    "                       NAMEL.wav and NAMER.wav)\n"
    "  -h, --help           display this help and exit\n"
    "      --version        output version information and exit\n"
    "\n"
    "On a terminal, a split that takes more than a second shows how far it is on\n"
    "standard error, and erases that line before any message.\n"
    "\n"
    "Exit status:\n"
    "  0  all outputs written, after \"done\"\n"
    "  1  the input is not stereo 16- or 24-bit PCM (with --all-channels: of a kind\n"
    "     above), or too large; or x typed to exit\n"
    "  2  a name or file can't be used, or a message can't be written\n"
    "\n"
    "Every message is listed in the manual: man quenlor2\n";

// Ends a run that succeeded: with status 2 when what it said could not all be written (a full
// disk, a closed standard output), as a message lost is no success.
int Finish() {
    const bool said = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    return said && !OutputWasClosed() ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    PrepareProcess(&argc, &argv);
    // --help and --version count only as the first argument, spelled exactly so.
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(USAGE, stdout);
        return Finish();
    }
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::fputs(VERSION, stdout);
        return Finish();
    }
    // Metadata is carried, and takes of other shapes split, only when asked, so that outputs stay
    // as they always were. These two options may come first, in either order.
    bool keep = false, every = false;
    int first = 1;
    for (; first < argc && first <= 2; ++first) {
        if (!keep && std::strcmp(argv[first], "--keep-metadata") == 0) {
            keep = true;
        } else if (!every && std::strcmp(argv[first], "--all-channels") == 0) {
            every = true;
        } else {
            break;
        }
    }
    std::string input;
    if (argc > first) {
        input = argv[first];
    } else {
        input = Prompt("\nEnter the name of .wav file or 'h' for help: ");
        if (input == "h") {
            std::printf(TITLE "\n");
            std::printf("\nThis program will split a stereo wave file into two mono wave files.\n");
            input = Prompt("\nEnter the name of .wav file or 'x' to exit: ");
            if (input == "x") return 1;
        }
    }
    // A name without a base name is refused before the input is looked at.
    std::string left;
    std::string right;
    OUTPUT_NAMES(input, &left, &right);

    uint32_t channels[1], data_offset[1], sample_rate[1], bytes_per_sample[1], bits[1];
    uint32_t format[1], valid_bits[1];
    uint64_t data_end[1];
    FileId identity{};
    std::string metadata;
    GET_ATTRIBUTES(0, input.c_str(), channels, data_offset, sample_rate, bytes_per_sample, bits,
                   data_end, &identity, keep ? &metadata : nullptr, every, format, valid_bits);
    std::vector<std::string> outputs;
    CHANNEL_NAMES(input, channels[0], &outputs);
    SPLIT_TRACK(input.c_str(), outputs, data_offset[0], data_end[0], sample_rate[0], bits[0],
                format[0], valid_bits[0], identity, &metadata);
    EraseProgress();
    std::printf(MSG_DONE "\n");
    return Finish();
}
