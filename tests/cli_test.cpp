// The program as its users meet it: run in a scratch folder, standard input fed, standard output
// compared byte for byte, then the exit status and the files left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <tuple>

#include "extract/extract.h"
#include "wav/wav.h"
#include "wavgen.h"

namespace fs = std::filesystem;

namespace {

const std::string PROMPT1 = "\nEnter the name of .wav file or 'h' for help: ";
const std::string PROMPT2 = "\nEnter the name of .wav file or 'x' to exit: ";
const std::string TITLE = "Quenlor " QUENLOR_VERSION " by Tolbrin\n";
const std::string HELP =
    TITLE + "\nThis program will split a stereo wave file into two mono wave files.\n";

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class Cli : public testing::Test {
protected:
    fs::path dir;

    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("quenlor-" + std::to_string(getpid()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
        Fresh();
    }
    void TearDown() override { fs::remove_all(dir); }

    // Empties the scratch folder.
    void Fresh() {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void Put(const std::string& name, const Bytes& bytes) {
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
    }
    Bytes Get(const std::string& name) {
        std::ifstream in(dir / name, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    std::set<std::string> Files() {
        std::set<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(dir)) {
            names.insert(e.path().lexically_relative(dir).string());
        }
        return names;
    }

    // What each name that leads to a file holds, links followed.
    std::map<std::string, Bytes> Contents() {
        std::map<std::string, Bytes> contents;
        for (const auto& name : Files()) {
            if (fs::is_regular_file(dir / name)) contents[name] = Get(name);
        }
        return contents;
    }

    // Runs the program with args and the given standard input; returns its exit status and
    // fills out with its standard output.
    int Run(const std::vector<std::string>& args, const std::string& input, std::string* out,
            const std::string& prefix = "") {
        const std::string io = dir.string() + ".io";
        std::ofstream(io + ".in") << input;
        // QUENLOR_WRAPPER runs the program under a checker, valgrind say.
        const char* wrapper = std::getenv("QUENLOR_WRAPPER");
        std::string cmd = "cd " + Quote(dir) + " && " + prefix + " " + (wrapper ? wrapper : "") +
                          " " + Quote(QUENLOR_BIN);
        for (const auto& a : args) cmd += " " + Quote(a);
        const int status = std::system((cmd + " <" + io + ".in >" + io + ".out").c_str());
        std::ifstream o(io + ".out", std::ios::binary);
        *out = std::string(std::istreambuf_iterator<char>(o), {});
        fs::remove(io + ".in");
        fs::remove(io + ".out");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Splits a file of `frames` frames (plus `tail` stray bytes) and checks both outputs whole.
    void ExpectSplit(uint32_t bits, uint64_t frames, const Bytes& tail = {}) {
        const size_t width = bits / 8;
        Bytes file = StereoWav(bits, 48000, frames);
        file.insert(file.end(), tail.begin(), tail.end());
        Put("take1.wav", file);
        std::string out;
        EXPECT_EQ(Run({"take1.wav"}, "", &out), 0);
        EXPECT_EQ(out, "done\n");
        const Bytes samples(file.begin() + 44, file.end());
        const uint64_t declared = (samples.size() / (2 * width));
        for (int channel = 0; channel < 2; ++channel) {
            Bytes expected = WavHeader(bits, 1, 48000, declared * width);
            const Bytes mono = ChannelSamples(samples, width, channel);
            expected.insert(expected.end(), mono.begin(), mono.end());
            EXPECT_EQ(Get(channel == 0 ? "take1L.wav" : "take1R.wav"), expected)
                << bits << "-bit, " << frames << " frames, channel " << channel;
        }
    }
};

TEST_F(Cli, SplitsBothWidthsAcrossBlockBoundaries) {
    for (uint32_t bits : {16u, 24u}) {
        // The 24-bit gather moves 8 frames at a step; blocks hold BLOCK_FRAMES frames.
        const uint64_t block = BLOCK_FRAMES;
        for (uint64_t frames : {uint64_t{0}, uint64_t{1}, uint64_t{7}, uint64_t{9}, block - 1,
                                block, block + 1, 3 * block + 7}) {
            ExpectSplit(bits, frames);
        }
        // Stray bytes short of a frame are dropped; a chunk after the data counts as samples.
        ExpectSplit(bits, 1025, Bytes(bits / 4 * 3 - 1, 0xEE));
        Bytes list;
        PutText(list, "LIST");
        PutLe(list, 18, 4);
        for (int k = 0; k < 18; ++k) list.push_back(static_cast<unsigned char>(0xA0 + k));
        ExpectSplit(bits, 1000, list);
    }
    EXPECT_EQ(Get("take1L.wav").size(), 44 + 3 * 1004u);  // 26 bytes: 4 more 24-bit frames
}

TEST_F(Cli, PromptsOfferHelpOnceAndXExitsOnlyAtTheSecond) {
    Put("take1.wav", StereoWav(16, 44100, 10));
    std::string out;
    EXPECT_EQ(Run({}, "h\nx\n", &out), 1);
    EXPECT_EQ(out, PROMPT1 + HELP + PROMPT2);
    EXPECT_EQ(Run({}, "h take1.wav", &out), 0);
    EXPECT_EQ(out, PROMPT1 + HELP + PROMPT2 + "done\n");
    EXPECT_EQ(Run({}, "  take1.wav more words", &out), 0);
    EXPECT_EQ(out, PROMPT1 + "done\n");
    EXPECT_EQ(Run({}, "x\n", &out), 2);
    EXPECT_EQ(out, PROMPT1 + "Cannot find file in track list called x!!\n");
    EXPECT_EQ(Run({}, "h\nh\n", &out), 2);
    EXPECT_EQ(out, PROMPT1 + HELP + PROMPT2 + "Cannot find file in track list called h!!\n");
    const std::string name_error = "Filename error: looking for format of type name.wav\n";
    EXPECT_EQ(Run({}, "", &out), 2);
    EXPECT_EQ(out, PROMPT1 + name_error);
    EXPECT_EQ(Run({}, "h", &out), 2);
    EXPECT_EQ(out, PROMPT1 + HELP + PROMPT2 + name_error);
    EXPECT_EQ(Run({"...", "take1.wav"}, "", &out), 2);
    EXPECT_EQ(out, name_error);
    EXPECT_EQ(Files(), (std::set<std::string>{"take1.wav", "take1L.wav", "take1R.wav"}));
}

// The options count only as the first argument, spelled exactly so; elsewhere they are names.
TEST_F(Cli, AnswersHelpAndVersionOnlyAsTheFirstArgument) {
    Put("take1.wav", StereoWav(16, 44100, 10));
    std::string out;
    for (const std::string option : {"--help", "-h"}) {
        EXPECT_EQ(Run({option, "take1.wav"}, "", &out), 0);
        EXPECT_EQ(out.rfind(TITLE, 0), 0u) << out;
        EXPECT_NE(out.find("Usage: quenlor2 FILE"), std::string::npos) << out;
        EXPECT_NE(out.find("man quenlor2"), std::string::npos) << out;
    }
    EXPECT_EQ(Run({"--version"}, "", &out), 0);
    EXPECT_EQ(out, TITLE);
    EXPECT_EQ(Files(), std::set<std::string>{"take1.wav"});
    const std::string no_file = "Cannot find file in track list called ";
    for (const std::string name : {"./--help", "--HELP", "-version"}) {
        EXPECT_EQ(Run({name}, "", &out), 2);
        EXPECT_EQ(out, no_file + name + "!!\n");
    }
    EXPECT_EQ(Run({}, "--version\n", &out), 2);
    EXPECT_EQ(out, PROMPT1 + no_file + "--version!!\n");
    EXPECT_EQ(Run({}, "h -h\n", &out), 2);
    EXPECT_EQ(out, PROMPT1 + HELP + PROMPT2 + no_file + "-h!!\n");
    EXPECT_EQ(Run({"take1.wav", "--help"}, "", &out), 0);
    EXPECT_EQ(out, "done\n");
}

TEST_F(Cli, RejectedInputsLeaveNoOutput) {
    const std::string not_stereo = "The file you want to convert is not a stereo track!\n";
    const std::string bits_only = "24 bit or 16 bit wave files only!\n";
    const std::string no_format = "Can't find format chunk in wave file!\n";
    Bytes junk;  // puts the data tag at 15,002, past the scan
    PutText(junk, "JUNK");
    PutLe(junk, 15002 - 44, 4);
    junk.resize(15002 - 36, 0);
    const Bytes header = WavHeader(16, 2, 8000, 0);
    const std::tuple<Bytes, std::string, int> cases[] = {
        {WavHeader(8, 1, 8000, 0), not_stereo, 1},
        {WavHeader(16, 4, 8000, 0), not_stereo, 1},
        {WavHeader(32, 2, 8000, 0), bits_only, 1},
        {WavHeader(8, 2, 8000, 0), bits_only, 1},
        {Bytes(header.begin(), header.begin() + 36), "Can't find data block in wave file!\n", 2},
        {WavHeader(16, 2, 8000, 0, false, junk), "Can't find data block in wave file!\n", 2},
        // Tags count only at even positions: this one stands at 37.
        {WavHeader(16, 2, 8000, 0, false, {0x00}), "Can't find data block in wave file!\n", 2},
        // Cut inside the format chunk: fields past the end read as 0.
        {Bytes(header.begin(), header.begin() + 30), bits_only, 1},
        {Bytes(header.begin(), header.begin() + 23), not_stereo, 1},
        {Bytes(), no_format + not_stereo, 1},
        {Bytes(20000, 'd'), no_format + not_stereo, 1},
    };
    for (const auto& [file, message, status] : cases) {
        Put("in.wav", file);
        std::string out;
        EXPECT_EQ(Run({"in.wav"}, "", &out), status);
        EXPECT_EQ(out, message);
        EXPECT_EQ(Files(), std::set<std::string>{"in.wav"}) << message;
    }
    std::string out;
    const std::string missing = "sub/" + std::string(400, 'm') + ".wav";
    EXPECT_EQ(Run({missing}, "", &out), 2);
    EXPECT_EQ(out, "Cannot find file in track list called " + missing + "!!\n");
    EXPECT_EQ(Files(), std::set<std::string>{"in.wav"});
}

// Only a regular file is a recording: a folder, a device or a FIFO with no writer is refused at
// once, without waiting on it.
TEST_F(Cli, RefusesInputsThatAreNoRegularFile) {
    fs::create_directory(dir / "folder.wav");
    fs::create_symlink("/dev/zero", dir / "zero.wav");
    ASSERT_EQ(mkfifo((dir / "fifo.wav").c_str(), 0644), 0);
    for (const std::string name : {"folder.wav", "zero.wav", "fifo.wav"}) {
        std::string out;
        EXPECT_EQ(Run({name}, "", &out, "timeout 10"), 2) << name;
        EXPECT_EQ(out, "Cannot find file in track list called " + name + "!!\n");
    }
    EXPECT_EQ(Files(), (std::set<std::string>{"folder.wav", "zero.wav", "fifo.wav"}));
}

// An output that is the input, or the other output, under another name is refused before any
// file is created or changed; a link to the input under a name that is no output still splits.
TEST_F(Cli, RefusesOutputsThatLeadBackToTheInputOrToEachOther) {
    const Bytes take = StereoWav(16, 44100, 300);
    // Each step makes one entry: f a file holding `take`, o another file, d a folder,
    // s a symbolic link to the target, h a hard link to it.
    struct Step {
        char kind;
        std::string name;
        std::string target = "";
    };
    const std::tuple<std::vector<Step>, std::string, std::string> cases[] = {
        {{{'f', "take.wav"}, {'s', "takeL.wav", "take.wav"}},
         "take.wav",
         "takeL.wav is the same file as take.wav"},
        {{{'f', "takeR.wav"}, {'s', "take.wav", "takeR.wav"}},
         "take.wav",
         "takeR.wav is the same file as take.wav"},
        {{{'f', "take.wav"}, {'h', "takeR.wav", "take.wav"}},
         "take.wav",
         "takeR.wav is the same file as take.wav"},
        {{{'d', "sub"}, {'f', "sub/take.wav"}, {'s', "sub/takeL.wav", "../sub/take.wav"}},
         "sub/take.wav",
         "sub/takeL.wav is the same file as sub/take.wav"},
        {{{'f', "take.wav"}, {'o', "takeL.wav"}, {'s', "takeR.wav", "takeL.wav"}},
         "take.wav",
         "takeR.wav is the same file as takeL.wav"},
    };
    for (const auto& [steps, input, message] : cases) {
        Fresh();
        for (const Step& step : steps) {
            if (step.kind == 'f') Put(step.name, take);
            if (step.kind == 'o') Put(step.name, StereoWav(24, 8000, 10));
            if (step.kind == 'd') fs::create_directory(dir / step.name);
            if (step.kind == 's') fs::create_symlink(step.target, dir / step.name);
            if (step.kind == 'h') fs::create_hard_link(dir / step.target, dir / step.name);
        }
        const std::map<std::string, Bytes> before = Contents();
        std::string out;
        EXPECT_EQ(Run({input}, "", &out), 2) << message;
        EXPECT_EQ(out, "Output file " + message + "!\n");
        EXPECT_EQ(Contents(), before) << message;
    }
    // A dangling link to the left output's name is caught once the left header has made it.
    Fresh();
    Put("take.wav", take);
    fs::create_symlink("takeL.wav", dir / "takeR.wav");
    std::string out;
    EXPECT_EQ(Run({"take.wav"}, "", &out), 2);
    EXPECT_EQ(out, "Output file takeR.wav is the same file as takeL.wav!\n");
    EXPECT_EQ(Get("take.wav"), take);
    EXPECT_EQ(Get("takeL.wav").size(), 44u);

    fs::remove(dir / "takeR.wav");
    fs::create_symlink("take.wav", dir / "alias.wav");
    EXPECT_EQ(Run({"alias.wav"}, "", &out), 0);
    EXPECT_EQ(out, "done\n");
    EXPECT_EQ(Get("aliasR.wav").size(), 44u + 600);
    EXPECT_EQ(Get("take.wav"), take);
}

// With the standard descriptors closed, no file of the program's may take one of their places,
// or a message meant for the console would be written into it.
TEST_F(Cli, KeepsItsFilesOffClosedStandardDescriptors) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace";
    Put("take.wav", StereoWav(16, 8000, 100));
    // LeakSanitizer can't run under a tracer.
    const std::string cmd = "cd " + Quote(dir) +
                            " && ASAN_OPTIONS=detect_leaks=0 strace -f -o ../" +
                            dir.filename().string() + ".trace -e trace=open,openat " +
                            Quote(QUENLOR_BIN) + " take.wav <&- >&- 2>&-";
    const int status = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream trace(dir.string() + ".trace");
    int opens = 0;
    for (std::string line; std::getline(trace, line);) {
        if (line.find("take") == std::string::npos) continue;
        ++opens;
        const std::string fd = line.substr(line.rfind('=') + 1);
        EXPECT_GE(std::stoi(fd), 3) << line;
    }
    EXPECT_GE(opens, 7);  // probe, length, two headers, two copies of two files
    fs::remove(dir.string() + ".trace");
    EXPECT_EQ(Get("takeR.wav").size(), 44u + 200);
}

TEST_F(Cli, AcceptsTagsWhereverTheScanFindsThem) {
    Bytes list;
    PutText(list, "LIST");
    PutLe(list, 15000 - 68, 4);
    list.resize(15000 - 60, 0x81);
    Bytes file = WavHeader(24, 2, 96000, 12, true, list);  // extensible; data tag at 15,000
    ASSERT_EQ(file.size(), 15008u);
    const Bytes samples = StereoSamples(24, 0, 2);
    file.insert(file.end(), samples.begin(), samples.end());
    fs::create_directory(dir / "v1.2");
    Put("v1.2/take.wav", file);
    std::string out;
    EXPECT_EQ(Run({"./v1.2/take.wav"}, "", &out), 0);
    EXPECT_EQ(out, "done\n");
    const Bytes left = Get("v1.2/takeL.wav");
    ASSERT_EQ(left.size(), 44u + 6);
    EXPECT_EQ(Assem4(left.data() + 24), 96000u);
    EXPECT_EQ(Bytes(left.begin() + 44, left.end()), ChannelSamples(samples, 3, 0));
}

TEST_F(Cli, OverwritesOutputsAndReportsEveryWriteFailure) {
    Put("take1.wav", StereoWav(16, 44100, 3000));
    Put("take1L.wav", Bytes(100000, 1));
    std::string out;
    EXPECT_EQ(Run({"take1.wav"}, "", &out), 0);
    EXPECT_EQ(Get("take1L.wav").size(), 44u + 6000);

    for (const std::string side : {"R", "L"}) {
        fs::remove(dir / ("take1" + side + ".wav"));
        fs::create_directory(dir / ("take1" + side + ".wav"));
        EXPECT_EQ(Run({"take1.wav"}, "", &out), 2);
        EXPECT_EQ(out, "Unable to open file.\n");
        fs::remove(dir / ("take1" + side + ".wav"));
    }
    EXPECT_EQ(Files(), std::set<std::string>{"take1.wav"});  // a failed left header stops the run
    fs::create_symlink("/dev/full", dir / "take1R.wav");
    EXPECT_EQ(Run({"take1.wav"}, "", &out), 2);
    EXPECT_EQ(out, "Unable to write file.\n");
    EXPECT_EQ(Get("take1L.wav").size(), 44u);  // its header, written before the failure, stays
    fs::remove(dir / "take1R.wav");
    EXPECT_EQ(Run({"take1.wav"}, "", &out, "prlimit --fsize=4096"), 2);  // both headers fit
    EXPECT_EQ(out, "Unable to write file.\n");
}

TEST_F(Cli, TakesLongNamesAtThePrompt) {
    const std::string folder(200, 'd'), name = folder + "/" + std::string(200, 'n');
    fs::create_directory(dir / folder);
    Put(name + ".wav", StereoWav(24, 44100, 5));
    std::string out;
    EXPECT_EQ(Run({}, name + ".wav\n", &out), 0);
    EXPECT_EQ(out, PROMPT1 + "done\n");
    EXPECT_EQ(Get(name + "R.wav").size(), 44u + 15);
}

// Inputs kept from fuzzing: each must end with one of the program's own messages, and a split
// must leave two outputs whose headers agree with their sizes.
TEST_F(Cli, CorpusInputsEndWithTheProgramsOwnMessages) {
    const std::set<std::string> failures = {
        "The file you want to convert is not a stereo track!\n",
        "24 bit or 16 bit wave files only!\n",
        "Can't find data block in wave file!\n",
    };
    const std::string warning = "Can't find format chunk in wave file!\n";
    int cases = 0;
    for (const auto& entry : fs::directory_iterator(QUENLOR_CORPUS)) {
        const std::string name = entry.path().filename().string();
        fs::copy_file(entry.path(), dir / "case.wav", fs::copy_options::overwrite_existing);
        std::string out;
        const int status = Run({"case.wav"}, "", &out);
        if (out.rfind(warning, 0) == 0) out.erase(0, warning.size());
        ++cases;
        if (status != 0) {
            EXPECT_TRUE(failures.count(out)) << name << ": " << out;
            EXPECT_EQ(Files(), std::set<std::string>{"case.wav"}) << name;
            continue;
        }
        EXPECT_EQ(out, "done\n") << name;
        const Bytes left = Get("caseL.wav"), right = Get("caseR.wav");
        ASSERT_GE(left.size(), 44u) << name;
        EXPECT_EQ(left.size(), right.size()) << name;
        EXPECT_EQ(Assem4(left.data() + 40), left.size() - 44) << name;
        EXPECT_EQ((left.size() - 44) % Assem2(left.data() + 32), 0u) << name;
        fs::remove(dir / "caseL.wav");
        fs::remove(dir / "caseR.wav");
    }
    EXPECT_GT(cases, 0);
}

}  // namespace
