#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <tuple>

#include "driver.h"
#include "extract/extract.h"
#include "system.h"
#include "wav/wav.h"
#include "wavgen.h"

using Four = std::array<unsigned char, 4>;

Four D4(uint32_t v) {
    Four out{};
    Decon4(v, out.data());
    return out;
}

TEST(Codec, AssemblesAndSplitsLittleEndianFields) {
    const unsigned char a[] = {0x01, 0x02, 0xFF, 0xFF, 0x44, 0xAC, 0x00, 0x00, 0xFF, 0xFF};
    EXPECT_EQ(Assem2(a), 513u);
    EXPECT_EQ(Assem2(a + 2), 65535u);
    EXPECT_EQ(Assem4(a + 4), 44100u);
    EXPECT_EQ(Assem4(a + 2), 0xAC44FFFFu);
    EXPECT_EQ(D4(44100), (Four{0x44, 0xAC, 0x00, 0x00}));
    EXPECT_EQ(D4(0x7FFFFFFF), (Four{0xFF, 0xFF, 0xFF, 0x7F}));
    EXPECT_EQ(D4(static_cast<uint32_t>(-1)), (Four{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(D4(0x80000001u), (Four{0x01, 0x00, 0x00, 0x80}));
    unsigned char b[3] = {};
    Decon2(513, b);
    EXPECT_EQ(Bytes(b, b + 2), (Bytes{1, 2}));
    Decon3(65536, b);
    EXPECT_EQ(Bytes(b, b + 3), (Bytes{0, 0, 1}));
    Decon3((1u << 24) + 1, b);
    EXPECT_EQ(Bytes(b, b + 3), (Bytes{1, 0, 0}));
}

TEST(Names, StayBesideTheInputAndTakeTheFirstRunOfNonDots) {
    const char* const cases[][2] = {{"take1.wav", "take1"},
                                    {"a.b.c", "a"},
                                    {"take1", "take1"},
                                    {"song.mp3", "song"},
                                    {"..wav", "wav"},
                                    {"./take1.wav", "./take1"},
                                    {"../v1.2/take.wav", "../v1.2/take"},
                                    {"/data/.hidden.wav", "/data/hidden"},
                                    {"x", "x"}};
    const auto expect = [](const std::string& input, const std::string& stem) {
        std::string left, right;
        OUTPUT_NAMES(input, &left, &right);
        EXPECT_EQ(left, stem + "L.wav") << input;
        EXPECT_EQ(right, stem + "R.wav") << input;
    };
    for (const auto& [input, stem] : cases) expect(input, stem);
    for (const std::string bad : {"", ".", "...", "dir/", "dir/...", "a.b/"}) {
        std::string left, right;
        EXPECT_EXIT(OUTPUT_NAMES(bad, &left, &right), testing::ExitedWithCode(2), "") << bad;
    }
}

// Each count must also stand in a header exactly as the generator, written apart from the
// program, lays it out: sizes past 2 GiB stay unsigned.
TEST(FrameCount, CountsWholeFramesAndRefusesWhatAHeaderCantHold) {
    const std::tuple<int64_t, uint32_t, uint32_t, uint32_t> cases[] = {
        {4044, 16, 44100, 1000},
        {44 + 6 * 10 + 5, 24, 48000, 10},
        {40, 16, 8000, 0},                                    // the file stops inside the data tag
        {44 + 4LL * 2147483629 + 3, 16, 44100, 2147483629u},  // the largest 16-bit output
        {44 + 6LL * 1431655753, 24, 192000, 1431655753u}};
    for (const auto& [length, bits, rate, expected] : cases) {
        uint32_t frames = 7;
        FRAME_COUNT(length, 44, bits / 8, &frames);
        EXPECT_EQ(frames, expected) << length;
        unsigned char h[HEADER_SIZE];
        HeaderBytes(rate, bits, frames, h);
        EXPECT_EQ(Bytes(h, h + HEADER_SIZE), WavHeader(bits, 1, rate, uint64_t{frames} * bits / 8))
            << bits << "-bit, " << frames << " frames";
    }
    uint32_t frames = 0;
    EXPECT_EXIT(FRAME_COUNT(44 + 4LL * 2147483630, 44, 2, &frames), testing::ExitedWithCode(1), "");
    EXPECT_EXIT(FRAME_COUNT(44 + 6LL * 1431655754, 44, 3, &frames), testing::ExitedWithCode(1), "");
}

// Both 24-bit gathers, on every build: the shuffled one (where the processor has it) and the
// portable one, around the shuffle's step of 8 frames, a block's size and a tail, both channels.
TEST(Gather, ShuffledAndPortableTakeTheSameSamples) {
    using Gather = void (*)(const unsigned char*, size_t, size_t, unsigned char*);
    const std::pair<const char*, Gather> gathers[] = {{"portable", Gather3},
                                                      {"fastest", Gather3Fastest}};
    for (size_t n : {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{16}, size_t{23},
                     size_t{BLOCK_FRAMES - 1}, size_t{BLOCK_FRAMES}}) {
        Bytes block = StereoSamples(24, 3 * n, n);
        const Bytes stereo = block;
        block.resize(block.size() + SLACK, 0xC3);
        for (int channel = 0; channel < 2; ++channel) {
            const Bytes expected = ChannelSamples(stereo, 3, channel);
            for (const auto& [name, gather] : gathers) {
                Bytes out(3 * n + SLACK, 0x5A);
                gather(block.data(), n, 3 * size_t(channel), out.data());
                EXPECT_EQ(Bytes(out.begin(), out.begin() + long(3 * n)), expected)
                    << name << ", " << n << " frames, channel " << channel;
            }
        }
    }
}

std::string Slurp(const char* name) {
    std::string text;
    std::FILE* f = std::fopen(name, "rb");
    for (int c; f != nullptr && (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
    if (f != nullptr) std::fclose(f);
    return text;
}

void Write(const char* name, const char* text) {
    std::FILE* f = std::fopen(name, "wb");
    ASSERT_NE(f, nullptr);
    EXPECT_GE(std::fputs(text, f), 0);
    EXPECT_EQ(std::fclose(f), 0);
}

// The system test's own folder, made anew at its start: what a failed run left is no concern.
const char* const FOLDER = "unit_system";

// The program's temporaries left in that folder.
int Leftovers() {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(FOLDER)) {
        n += e.path().filename().string().rfind("quenlor2-", 0) == 0;
    }
    return n;
}

// Run on each system (under Wine for Windows): the pair is replaced as one or not at all; an
// interrupt can remove a temporary still being written; a temporary is reopened only as the
// file that was made; a folder is never taken for an input.
TEST(System, ReplacesThePairAsOneAndRemovesOpenTemporaries) {
    std::filesystem::remove_all(FOLDER);
    std::filesystem::create_directory(FOLDER);
    const char *left = "unit_system/takeL.wav", *right = "unit_system/takeR.wav";
    // Makes temporaries holding l and r and puts them in place, then cleans up as the exit does.
    const auto replace = [&](const char* l, const char* r) {
        std::string lt, rt;
        for (const auto& [output, text, temp] : {std::tuple(left, l, &lt), {right, r, &rt}}) {
            std::FILE* f = CreateTemporary(output, temp);
            EXPECT_NE(f, nullptr);
            if (f != nullptr) {
                EXPECT_TRUE(std::fputs(text, f) >= 0 && std::fclose(f) == 0);
            }
        }
        const bool whole = ReplacePair(lt.c_str(), left, rt.c_str(), right);
        RemoveTemporaries();
        EXPECT_EQ(Leftovers(), 0);
        return whole;
    };
    Write(left, "old L");
    std::filesystem::create_directory(right);  // the right output's place taken
    EXPECT_FALSE(replace("new L", "new R"));
    EXPECT_EQ(Slurp(left), "old L");
    std::filesystem::remove(right);
    Write(right, "old R");
    // Held open by a player: Windows may refuse to replace it; then both stay as they were.
    std::FILE* player = std::fopen(right, "rb");
    const bool whole = replace("new L", "new R");
    std::fclose(player);
    EXPECT_EQ(Slurp(left) + Slurp(right), whole ? "new Lnew R" : "old Lold R");
    EXPECT_TRUE(replace("two L", "two R"));
    EXPECT_EQ(Slurp(left) + Slurp(right), "two Ltwo R");

    // Removed by someone and made again, a temporary is no longer the program's to write. (On
    // Windows its name may stay taken until the program lets go of it, and
    // Wine hands back the file itself, its removal pending, when it is opened again.)
    std::string lt;
    std::fclose(CreateTemporary(left, &lt));
    uint64_t made[ID_WORDS] = {}, now[ID_WORDS] = {};
    ASSERT_TRUE(PathIdentity(lt.c_str(), made));
    EXPECT_EQ(std::remove(lt.c_str()), 0);
    std::FILE* again = std::fopen(lt.c_str(), "wb");
    if (again != nullptr && FileIdentity(again, now) && now[ID_FILE] != made[ID_FILE]) {
        EXPECT_EQ(ReopenTemporary(lt.c_str()), nullptr);
    }
    if (again != nullptr) std::fclose(again);
    RemoveTemporaries();
    std::string temp;
    std::FILE* first = CreateTemporary(left, &temp);
    ASSERT_NE(first, nullptr);
    std::FILE* appended = ReopenTemporary(temp.c_str());  // as the copy reopens it
    ASSERT_NE(appended, nullptr);
    EXPECT_EQ(std::fputs("RIFF", first) >= 0 && std::fflush(first) == 0, true);
    EXPECT_EQ(std::fputs("data", appended) >= 0 && std::fflush(appended) == 0, true);
    RemoveTemporaries();  // what an interrupt does, with the temporary still open
    EXPECT_EQ(std::fclose(appended), 0);
    EXPECT_EQ(std::fclose(first), 0);
    uint64_t id[ID_WORDS] = {};
    EXPECT_FALSE(PathIdentity(temp.c_str(), id)) << temp;
    EXPECT_EQ(Leftovers(), 0);
    ASSERT_TRUE(RegularFileIdentity(left, id));
    EXPECT_EQ(id[ID_SIZE], 5u);
    EXPECT_TRUE(PathIdentity(".", id));
    EXPECT_FALSE(RegularFileIdentity(".", id));
    EXPECT_TRUE(IsFolder("."));
    EXPECT_FALSE(IsFolder(left));
    EXPECT_EQ(std::remove(left) + std::remove(right), 0);
    std::filesystem::remove(FOLDER);
}
