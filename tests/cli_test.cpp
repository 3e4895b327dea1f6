// The program as its users meet it: run in a scratch folder, standard input fed, standard output
// compared byte for byte, then the exit status and the files left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <tuple>

#include "extract/extract.h"
#include "wavgen.h"

namespace fs = std::filesystem;

namespace {

const std::string PROMPT1 = "\nEnter the name of .wav file or 'h' for help: ";
const std::string PROMPT2 = "\nEnter the name of .wav file or 'x' to exit: ";
const std::string TITLE = "Quenlor " QUENLOR_VERSION " by Tolbrin\n";
const std::string HELP =
    TITLE + "\nThis program will split a stereo wave file into two mono wave files.\n";
const std::string NO_FILE = "Cannot find file in track list called ";
const std::string NAME_ERROR = "Filename error: looking for format of type name.wav\n";
const std::string NOT_STEREO = "The file you want to convert is not a stereo track!\n";
const std::string BITS_ONLY = "24 bit or 16 bit wave files only!\n";
const std::string NO_FORMAT = "Can't find format chunk in wave file!\n";
const std::string NO_DATA = "Can't find data block in wave file!\n";
const std::string NOT_PCM = "The file you want to convert is not PCM audio!\n";

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Whether `tool` runs here; the tests that need it skip, naming it, when it does not.
bool Have(const std::string& tool) {
    return std::system((tool + " >/dev/null 2>&1").c_str()) == 0;
}

// The body of the first chunk of id in a wave file; "none" when it has none.
std::string ChunkBody(const Bytes& file, const std::string& id) {
    for (size_t at = 12; at + 8 <= file.size();) {
        const size_t length = file[at + 4] | file[at + 5] << 8 | file[at + 6] << 16;
        if (std::string(file.begin() + long(at), file.begin() + long(at) + 4) == id) {
            return std::string(file.begin() + long(at) + 8, file.begin() + long(at + 8 + length));
        }
        at += 8 + length + length % 2;
    }
    return "none";
}

// A split case: what the file is, and what the outputs hold (the mono header for the whole
// frames of `samples`, then one channel of them) with the message; `row` names the fault caught.
struct Split {
    std::string row;
    Bytes file;
    uint32_t bits, rate;
    Bytes samples;
    std::string message = "done\n";
};

class Cli : public testing::Test {
protected:
    fs::path dir;

    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("quenlor-" + std::to_string(getpid()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
        Fresh();
    }
    void TearDown() override {
        fs::remove_all(dir);
        fs::remove(dir.string() + ".bin");
    }

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

    // Runs `command` in the scratch folder with the given standard input; returns its exit
    // status and fills out with its standard output.
    int Shell(const std::string& command, const std::string& input, std::string* out) {
        const std::string io = dir.string() + ".io";
        std::ofstream(io + ".in", std::ios::binary) << input;
        const int status = std::system(("cd " + Quote(dir) + " && { " + command + "; } <" +
                                        Quote(io + ".in") + " >" + Quote(io + ".out"))
                                           .c_str());
        std::ifstream o(io + ".out", std::ios::binary);
        *out = std::string(std::istreambuf_iterator<char>(o), {});
        fs::remove(io + ".in");
        fs::remove(io + ".out");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // A command that runs `program` under strace (options `trace`, whose injection stops it with
    // SIGSTOP), runs `action` once it is stopped ($p is its process; the watcher gives up after
    // 30 s), then lets it go on: so an action comes at one point however the machine is loaded.
    std::string Held(const std::string& trace, const std::string& program,
                     const std::string& action) {
        const std::string log = Quote(dir.string() + ".held");
        return "rm -f " + log + "; (i=0; until grep -qs 'stopped by SIGSTOP' " + log +
               "; do [ $i -lt 3000 ] || exit; i=$((i+1)); sleep 0.01; done; read p rest <" + log +
               "; " + action + "; kill -CONT $p) 2>/dev/null & ASAN_OPTIONS=detect_leaks=0 " +
               "strace -f -o " + log + " " + trace + " " + program + " 2>/dev/null";
    }

    // A copy of the program that any user can run (the build may stand where only its owner may
    // enter), beside the scratch folder.
    std::string Reachable() {
        const fs::path copy = dir.string() + ".bin";
        if (!fs::exists(copy)) fs::copy_file(QUENLOR_BIN, copy);
        fs::permissions(copy, fs::perms(0755));
        return Quote(copy.string());
    }

    // Runs the program with args after `prefix` (a command that runs it under a limit).
    int Run(const std::vector<std::string>& args, const std::string& input, std::string* out,
            const std::string& prefix = "") {
        // QUENLOR_WRAPPER runs the program under a checker, valgrind say.
        const char* wrapper = std::getenv("QUENLOR_WRAPPER");
        std::string cmd = prefix + " " + (wrapper ? wrapper : "") + " " + Quote(QUENLOR_BIN);
        for (const auto& a : args) cmd += " " + Quote(a);
        return Shell(cmd, input, out);
    }
};

TEST_F(Cli, SplitsEveryShapeOfInputExactly) {
    // A comment with "data" at an even position of the file.
    const Bytes list =
        Chunk("LIST", Cat({Text("INFO"), Chunk("ICMT", Text("mic metadata: ABCD"))}));
    std::vector<Split> rows;
    for (uint32_t bits : {16u, 24u}) {
        const auto row = [&](const std::string& name, const Bytes& file, const Bytes& samples,
                             uint32_t rate = 8000) {
            rows.push_back({std::to_string(bits) + "-bit " + name, file, bits, rate, samples});
        };
        // The 24-bit gather moves 8 frames at a step; blocks hold an eighth of the take, at
        // least MIN_BLOCK_FRAMES frames.
        const uint64_t block = BLOCK_FRAMES;
        for (uint64_t n : {uint64_t{0}, uint64_t{1}, uint64_t{7}, uint64_t{9}, block - 1, block,
                           block + 1, 3 * block + 7}) {
            row("gather or block edge at " + std::to_string(n) + " frames",
                StereoWav(bits, 48000, n), StereoSamples(bits, 0, n), 48000);
        }
        row("stray bytes short of a frame are dropped",
            Cat({StereoWav(bits, 44100, 1025), Bytes(bits / 4 - 1, 0xEE)}),
            StereoSamples(bits, 0, 1025), 44100);
        const Bytes s = StereoSamples(bits, 0, 1000), fmt = Fmt(bits, 2, 8000);
        row("metadata after the data stays out",
            Riff({fmt, Data(s), list, Chunk("id3 ", Bytes(9, 0xA5))}), s);
        // Plain PCM out, whatever bits the extensible form says are valid.
        Bytes valid = FmtBody(bits, 2, 8000, true, 1);
        valid[18] = static_cast<unsigned char>(bits - 4);
        row("an extensible format of fewer valid bits", Riff({Chunk("fmt ", valid), Data(s)}), s);
        row("a JUNK chunk before the format chunk",
            Riff({Chunk("JUNK", Bytes(28, 0)), fmt, Data(s)}), s);
        row("an odd chunk and its pad byte before the data",
            Riff({fmt, Chunk("bext", Text("data\xFF")), Data(s)}), s);
        row("\"data\" in a comment before the data chunk",
            Riff({bits == 24 ? Fmt(24, 2, 8000, true) : fmt, list, Data(s)}), s);
        row("a data chunk past the scan, behind a JUNK chunk",
            Riff({fmt, Chunk("JUNK", Bytes(20000, 0x81)), Data(s)}), s);
        for (uint64_t declared : {uint64_t{0}, uint64_t{0xFFFFFFFF}, s.size() + 1}) {
            row("no usable length: to the end, " + std::to_string(declared),
                Riff({fmt, Data(s, declared), list}), Cat({s, list}));
        }
        row("samples, no chunk, after the declared length", Riff({fmt, Data(s, s.size() / 2)}), s);
        // Metadata cut short after the data is no audio: a copy that stopped inside it, a length
        // a little too long, less than a chunk header.
        row("an iXML chunk cut short after the data",
            Riff({fmt, Data(s), Chunk("iXML", Text("<BWFXML>"), 4000)}), s);
        row("a LIST too long by 2 after the data",
            Riff({fmt, Data(s), Chunk("LIST", Text("INFOICMT"), 10)}), s);
        row("7 bytes of a chunk header after the data",
            Riff({fmt, Data(s), Text(std::string("LIST\x04\0\0", 7))}), s);
        // RF64 and BW64 give the data length in ds64 when the data chunk's field is 0xFFFFFFFF.
        const auto rf64 = [&](const std::string& tag, uint64_t size, const Bytes& samples,
                              size_t ds64_length) {
            return Riff({Ds64(0, size, samples.size() / (bits / 4), ds64_length), fmt,
                         Data(samples, 0xFFFFFFFF)},
                        tag);
        };
        const Bytes xml = Chunk("iXML", Text("<BWFXML><NOTE>data</NOTE></BWFXML>"));
        const Bytes stray = Cat({s, Bytes(bits / 8, 0xE1)});  // an odd length for 24 bits
        // A JUNK chunk that keeps a ds64 chunk's place is none: the data runs to the end.
        row("RF64 whose ds64 is still a JUNK chunk",
            Riff({Ds64(0, s.size(), 0, 28, "JUNK"), fmt, Data(s, 0xFFFFFFFF), list}, "RF64"),
            Cat({s, list}));
        for (const std::string tag : {"RF64", "BW64"}) {
            row(tag + ": iXML and LIST after the data, its pad byte",
                Cat({rf64(tag, stray.size(), stray, 28), xml, list}), s);
            row(tag + ": nothing after the data", rf64(tag, s.size(), s, 28), s);
        }
        const std::tuple<std::string, uint64_t, size_t> to_the_end[] = {
            {"RF64", 0, 28},                           // a header never finished
            {"BW64", s.size() + list.size() + 1, 28},  // past the end
            {"RF64", s.size(), 27},                    // ds64 too short to hold the size
            {"RIFF", s.size(), 28}};                   // ds64 counts only in RF64 and BW64
        for (const auto& [tag, size, length] : to_the_end) {
            row(tag + ": ds64 gives no usable length, " + std::to_string(size) + " in " +
                    std::to_string(length) + " bytes",
                Cat({rf64(tag, size, s, length), list}), Cat({s, list}));
        }
        // A chain with no format chunk before its data chunk, an id that is no text, or a length
        // past the end, is scanned: the samples start after the first "data" at an even place
        // and run to the end.
        row("no format chunk before the data chunk",
            Riff({Chunk("LIST", Bytes(10, 0x41)), Data(s), fmt}), Cat({s, fmt}));
        for (const std::string id : {"\x1FIDS", "IDS\x7F"}) {
            row("an unprintable chunk id breaks the chain",
                Riff({fmt, Chunk(id, Data({})), Data(s)}), Data(s));
        }
        row("a broken chain falls back to the scan",
            Riff({fmt, Chunk("LIST", {}, 0x7F000000), Data(s), list}), Cat({s, list}));
    }
    const Bytes two = StereoSamples(24, 0, 2), five = StereoSamples(16, 0, 5);
    rows.push_back({"extensible format, data chunk at 15,000",
                    Riff({Fmt(24, 2, 96000, true), Chunk("LIST", Bytes(14932, 0x81)), Data(two)}),
                    24, 96000, two});
    rows.push_back({"a format tag at byte 2, the first place scanned",
                    Cat({Bytes{0xA1, 0xB2}, Fmt(16, 2, 22050), Data(five)}), 16, 22050, five});
    rows.push_back(
        {"a data tag ending the file", Riff({Fmt(16, 2, 22050), Text("data")}), 16, 22050, {}});
    // Without a format tag the fields are read where they would follow one at 15,000.
    const Bytes samples = StereoSamples(16, 0, 3723), fields = Chunk("FMT ", FmtBody(16, 2, 11025));
    rows.push_back({"no format tag, stereo 16-bit fields where the fallback reads",
                    Cat({Bytes(100, 0x91), Data(samples, 0x91919191), fields}), 16, 11025,
                    Cat({samples, fields}), NO_FORMAT + "done\n"});
    // A format tag at 15,000 puts the bits field in the window's last two bytes.
    const Bytes filler = First(14980, StereoSamples(24, 0, 2500)), last = Fmt(24, 2, 11025);
    rows.push_back({"a format tag at the last place scanned",
                    Cat({Bytes(12, 0x93), Data(filler, 0x93939393), last}), 24, 11025,
                    Cat({filler, last})});
    // Both outputs must hold the generator's mono header, then that channel of the samples.
    for (const Split& r : rows) {
        Put("take1.wav", r.file);
        std::string out;
        EXPECT_EQ(Run({"take1.wav"}, "", &out), 0) << r.row;
        EXPECT_EQ(out, r.message) << r.row;
        EXPECT_EQ(Get("take1L.wav"), MonoWav(r.bits, r.rate, r.samples, 0)) << r.row << ", left";
        EXPECT_EQ(Get("take1R.wav"), MonoWav(r.bits, r.rate, r.samples, 1)) << r.row << ", right";
    }
}

// With --keep-metadata each output carries, after its format chunk, the input's bext (UMID
// cleared, loudness not given, a line of history for its channel), its iXML for that channel (its
// own track only, its own FILE_UID, a set of two, the input as parent), then its cue points and
// lists byte for byte, before or after the data, in RIFF or RF64; an iXML that is no XML is left
// out with a warning. Without the option, the outputs are as ever. Independent readers, where the
// machine has them, read the fields back.
TEST_F(Cli, KeepsEachChannelsMetadataOnlyWhenAsked) {
    // A bext chunk as a recorder writes it, or as the output of channel (0, 1) should carry it:
    // a reference of its own, a basic UMID (its material number as umid gives it), the loudness not
    // given in version 2, a line of history added.
    const auto bext = [](int version, const std::string& history, int channel = -1,
                         const Bytes& umid = {}) {
        Bytes b = Text(std::string("Scene 12 T3").append(245, '\0') + "Sound Devices" +
                       std::string(19, '\0') +
                       (channel < 0    ? "REF123"
                        : channel == 0 ? "REF123L"
                                       : "REF123R") +
                       std::string(channel < 0 ? 26 : 25, '\0') + "2026-12-0910:11:12");
        PutLe(b, 1728000000, 8);
        PutLe(b, version, 2);
        const Bytes label = {6, 0x0A, 0x2B, 0x34, 1, 1, 1, 5, 1, 1, 8, 0x20, 0x13, 0, 0, 0};
        for (size_t k = 0; k < 64; ++k) {
            b.push_back(channel < 0 ? static_cast<unsigned char>(0x80 + k)
                        : k < 16    ? label[k]
                        : k < 32    ? umid[k]
                                    : 0);
        }
        for (int k = 0; k < 5; ++k) PutLe(b, channel >= 0 && version == 2 ? 0x7FFF : 0xF7F0, 2);
        const std::string line = "\r\nA=PCM,F=48000,W=24,M=mono,T=quenlor2 " QUENLOR_VERSION "; " +
                                 std::string(channel == 0 ? "left" : "right") + " channel\r\n";
        return Chunk("bext", Cat({b, Bytes(180, 0), Text(history + (channel < 0 ? "" : line))}));
    };
    const Bytes xml =
        Chunk("iXML", Text("<?xml version=\"1.0\"?>\n<BWFXML><!-- a <note> -->"
                           "<NOTE><![CDATA[wind & <rain>]]></NOTE><FILE_UID>SDV1"
                           "</FILE_UID><TRACK_LIST><TRACK_COUNT>2</TRACK_COUNT><TRACK>"
                           "<INTERLEAVE_INDEX>2</INTERLEAVE_INDEX><NAME>Boom</NAME>"
                           "</TRACK><TRACK><INTERLEAVE_INDEX>1</INTERLEAVE_INDEX>"
                           "<NAME>MKH516 A</NAME></TRACK></TRACK_LIST></BWFXML>"));
    const Bytes unindexed = Chunk("iXML", Text("<BWFXML><TRACK_LIST><TRACK><NAME>MKH516 A</NAME>"
                                               "</TRACK><TRACK><NAME>Boom</NAME></TRACK>"
                                               "</TRACK_LIST></BWFXML>"));
    Bytes cue, label;
    for (const uint64_t v : {3, 1, 1000, 0x61746164, 0,    0,          1000, 2, 2000, 0x61746164,
                             0, 0, 2000, 3,          3000, 0x61746164, 0,    0, 3000, 1}) {
        PutLe(cue.size() < 76 ? cue : label, v, 4);
    }
    const Bytes cues = Chunk("cue ", cue),
                info = Chunk("LIST",
                             Cat({Text("INFO"), Chunk("INAM", Cat({Text("Interview"), {0}}))})),
                labels =
                    Chunk("LIST", Cat({Text("adtl"), Chunk("labl", Cat({label, Text("Mark")}))}));
    const Bytes s = StereoSamples(24, 0, 1001), fmt = Fmt(24, 2, 48000);
    const std::string zoom = "A=PCM,F=48000,W=24,M=stereo,T=H4n";
    // Each row: the input, the chunks each output carries (three cue points), whether it warns.
    const std::tuple<std::string, Bytes, std::vector<Bytes>, std::string> rows[] = {
        {"as a recorder lays it out, marks after the data",
         Riff({bext(1, zoom), xml, fmt, cues, Data(s), labels, info, Chunk("JUNK", Bytes(9, 0))}),
         {bext(1, zoom), xml, cues, labels, info},
         ""},
        {"RF64, bext version 2, tracks in order",
         Riff({Ds64(0, s.size(), 1001), fmt, bext(2, zoom + "\n"), unindexed,
               Chunk("PEAK", Bytes(8, 1)), Data(s, 0xFFFFFFFF), info},
              "RF64"),
         {bext(2, zoom), unindexed, info},
         "The PEAK chunk describes the stereo file, not one channel: left out.\n"},
        {"an iXML that is no XML",
         Riff({fmt, Chunk("iXML", Text("<x><x/>")), Data(s), cues}),
         {cues},
         "The iXML chunk is not well-formed XML: left out.\n"},
    };
    // The UMIDs made: one for each output of each input.
    std::set<Bytes> umids;
    for (const auto& [row, file, carried, warned] : rows) {
        Put("take.wav", file);
        std::string out;
        EXPECT_EQ(Run({"take.wav"}, "", &out), 0) << row;
        EXPECT_EQ(Get("takeR.wav"), MonoWav(24, 48000, s, 1)) << row;
        EXPECT_EQ(Run({"--keep-metadata", "take.wav"}, "", &out), 0) << row;
        EXPECT_EQ(out, warned + "done\n") << row;
        for (int channel = 0; channel < 2; ++channel) {
            const Bytes got = Get(channel == 0 ? "takeL.wav" : "takeR.wav"),
                        mono = MonoWav(24, 48000, s, channel);
            // The chunks between the format chunk and the data chunk, one by one.
            Bytes chunks(got.begin() + 36, got.end() - (mono.size() - 36));
            EXPECT_EQ(Bytes(got.begin() + 8, got.begin() + 36),
                      Bytes(mono.begin() + 8, mono.begin() + 36));
            EXPECT_EQ(Bytes(got.end() - (mono.size() - 36), got.end()),
                      Bytes(mono.begin() + 36, mono.end()));
            EXPECT_EQ(got[4] | got[5] << 8 | got[6] << 16 | size_t(got[7]) << 24, got.size() - 8);
            for (const Bytes& want : carried) {
                const std::string id(want.begin(), want.begin() + 4);
                const size_t length = chunks[4] | chunks[5] << 8 | chunks[6] << 16;
                ASSERT_GE(chunks.size(), 8 + length) << row;
                const Bytes chunk(chunks.begin(), chunks.begin() + 8 + long(length + length % 2));
                chunks.erase(chunks.begin(), chunks.begin() + long(chunk.size()));
                const std::string text(chunk.begin(), chunk.end());
                if (id == "bext") {
                    const Bytes umid(chunk.begin() + 8 + 348, chunk.begin() + 8 + 412);
                    EXPECT_EQ(chunk, bext(want[8 + 346], zoom, channel, umid)) << row;
                    EXPECT_EQ(umid[16 + 6] >> 4, 8) << row;  // a UUID of version 8
                    umids.insert(umid);
                } else if (id == "iXML") {
                    const std::string mine = channel == 0 ? "MKH516 A" : "Boom",
                                      other = channel == 0 ? "Boom" : "MKH516 A";
                    EXPECT_NE(text.find("<NAME>" + mine + "</NAME>"), std::string::npos) << row;
                    EXPECT_EQ(text.find("<NAME>" + other + "</NAME>"), std::string::npos) << row;
                    EXPECT_NE(text.find("<FILE_SET_INDEX>" + std::to_string(channel + 1)),
                              std::string::npos)
                        << row;
                } else {
                    EXPECT_EQ(chunk, want) << row << id;
                }
            }
            EXPECT_TRUE(chunks.empty()) << row;
        }
        if (!warned.empty() || !Have("command -v sndfile-info")) continue;
        Shell(
            "sndfile-info --broadcast takeR.wav | grep -c '^Time ref.*36000.000000 sec\\|right "
            "chan'",
            "", &out);
        EXPECT_EQ(out, "2\n") << row;
    }
    EXPECT_EQ(umids.size(), 4u);
}

// With --keep-metadata each output's bext description names its own file and keeps its own track
// line (a name that doesn't fit leaves its line out), its coding history ends at the input's
// first NUL, and its iXML names it; a chunk it can't carry is named in a line before "done"; a
// list written without its pad byte after the samples is still found, and what follows it.
TEST_F(Cli, EachOutputsMetadataNamesItsOwnFileAndSaysWhatItLeftOut) {
    const auto bext = [](const std::string& description, const std::string& history) {
        Bytes b = Text(description);
        b.resize(602, 0);
        return Chunk("bext", Cat({b, Text(history)}));
    };
    const std::string history = "A=PCM,F=48000,W=16,M=stereo,T=SD\r\n";
    const std::string sd = "sFILENAME=A101_1.WAV\r\nsTRK1=MKH516 A\r\nsTRK2=Boom\r\nsSCENE=A1\r\n";
    const std::string full = "dFILENAME=A.wav\r\ndNOTE=" + std::string(256 - 25, 'n') + "\r\n";
    const Bytes s = StereoSamples(16, 0, 101), fmt = Fmt(16, 2, 48000);
    const Bytes xml = Chunk("iXML", Text("<BWFXML><HISTORY><CURRENT_FILENAME>A101_1.WAV"
                                         "</CURRENT_FILENAME></HISTORY></BWFXML>"));
    const Bytes odd_list = Chunk("LIST", Cat({Text("INFOINAM"), {3, 0, 0, 0}, Text("Doc")}));
    const Bytes cue = Chunk("cue ", Bytes(4, 0));
    Put("A101_1.wav",
        Riff({fmt, bext(sd, history + std::string(80, '\0') + "\x93junk"), xml,
              Chunk("smpl", Bytes(20, 0x81)), Data(s), Bytes(odd_list.begin(), odd_list.end() - 1),
              cue, Chunk("LIST", Cat({Text("adtl"), Bytes(16 << 20, 0xA5)}))}));
    std::string out;
    EXPECT_EQ(Run({"--keep-metadata", "A101_1.wav"}, "", &out), 0);
    EXPECT_EQ(out,
              "The smpl chunk is shorter than its fixed fields: left out.\n"
              "The LIST chunk would take the metadata past 16 MiB: left out.\ndone\n");
    const std::string line = "A=PCM,F=48000,W=16,M=mono,T=quenlor2 " QUENLOR_VERSION "; ";
    for (int channel = 0; channel < 2; ++channel) {
        const Bytes got = Get(channel == 0 ? "A101_1L.wav" : "A101_1R.wav");
        const std::string b = ChunkBody(got, "bext");
        std::string own = channel == 0 ? "sFILENAME=A101_1L.wav\r\nsTRK1=MKH516 A\r\n"
                                       : "sFILENAME=A101_1R.wav\r\nsTRK2=Boom\r\n";
        EXPECT_EQ(b.substr(0, 256), (own + "sSCENE=A1\r\n").append(256 - own.size() - 11, '\0'));
        EXPECT_EQ(b.substr(602),
                  history + line + (channel == 0 ? "left" : "right") + " channel\r\n");
        EXPECT_NE(ChunkBody(got, "iXML")
                      .find(std::string("<CURRENT_FILENAME>A101_1") + "LR"[channel] +
                            ".wav</CURRENT_FILENAME>"),
                  std::string::npos);
        EXPECT_EQ(ChunkBody(got, "LIST"), std::string(odd_list.begin() + 8, odd_list.end() - 1));
        EXPECT_EQ(ChunkBody(got, "cue "), std::string(4, '\0'));
    }
    // A description with no room for the longer name keeps whole lines, without its FILENAME; a
    // bext too short to be one is left out with its line.
    Put("A.wav", Riff({fmt, bext(full, ""), Data(s), Chunk("iXML", Text("<a>")),
                       Chunk("bext", Bytes(600, 0))}));
    EXPECT_EQ(Run({"--keep-metadata", "A.wav"}, "", &out), 0);
    EXPECT_EQ(out,
              "The bext chunk repeats one already carried: left out.\n"
              "The iXML chunk is not well-formed XML: left out.\ndone\n");
    EXPECT_EQ(ChunkBody(Get("AR.wav"), "bext").substr(0, 256),
              full.substr(17) + std::string(17, '\0'));
    Put("A.wav", Riff({fmt, Chunk("bext", Bytes(600, 0)), Chunk("cue ", Bytes(2, 0)), Data(s),
                       Chunk("iXML", Text("<a/>"), 99)}));
    EXPECT_EQ(Run({"--keep-metadata", "A.wav"}, "", &out), 0);
    EXPECT_EQ(out,
              "The bext chunk is shorter than its fixed fields: left out.\n"
              "The cue chunk is shorter than its fixed fields: left out.\n"
              "The iXML chunk is cut short by the end of the file: left out.\ndone\n");
    EXPECT_EQ(Run({"A.wav"}, "", &out), 0);
    EXPECT_EQ(out, "done\n");
}

// With --keep-metadata each output holds what the recorder would have written had it recorded
// that channel alone, for takes of several recorders' and editors' conventions: its track line and
// track by the order of the armed tracks, line ends as they were, identifiers and a family of its
// own, iXML's BEXT as its bext, cue points in bytes at its own byte, and a line for each thing
// that can't be made so. Without the option the outputs are as ever, even where an odd chunk lacks
// its pad byte.
TEST_F(Cli, EachOutputHoldsWhatTheRecorderWouldHaveWrittenForItsChannel) {
    const auto bext = [](const std::string& description, const std::string& history) {
        Bytes b = Text(description);
        b.resize(288, 0);
        PutText(b, "REF1");
        b.resize(602, 0);
        b[346] = 1;
        return Chunk("bext", Cat({b, Text(history)}));
    };
    const auto ixml = [](const std::string& inner, const std::string& head = "") {
        return Chunk("iXML", Text(head + "<BWFXML><SCENE>12</SCENE>" + inner + "</BWFXML>"));
    };
    const auto track = [](const std::string& interleave, const std::string& channel,
                          const std::string& name) {
        return "<TRACK>" +
               (interleave.empty() ? ""
                                   : "<INTERLEAVE_INDEX>" + interleave + "</INTERLEAVE_INDEX>") +
               "<CHANNEL_INDEX>" + channel + "</CHANNEL_INDEX><NAME>" + name + "</NAME></TRACK>";
    };
    Bytes utf16 = {0xFF, 0xFE};
    for (const char c :
         "<?xml version='1.0' encoding='UTF-16'?><!DOCTYPE BWFXML><BWFXML><SCENE>"
         "12</SCENE><TRACK_LIST><TRACK><NAME>Lav</NAME></TRACK><TRACK><NAME>Boom"
         "</NAME></TRACK></TRACK_LIST></BWFXML>")
        utf16.push_back(static_cast<unsigned char>(c)), utf16.push_back(0);
    Bytes cue;  // one point at frame 100, given in bytes as some editors write it
    for (const uint32_t v : {1u, 1u, 0u, 0x61746164u, 0u, 600u, 0u}) PutLe(cue, v, 4);
    const std::string plain =
        "<TRACK_LIST>" + track("1", "2", "Lav") + track("2", "5", "Boom") + "</TRACK_LIST>";
    const Bytes same = Chunk("iXML", Text("<BWFXML><TAKE>3</TAKE></BWFXML>"));
    const std::string sd = "sFILENAME=T1.WAV\r\nsTRK2=Boom\r\nsTRK5=Plant\r\n";
    const std::string h = "A=PCM,F=48000,W=24,M=stereo,T=X\r\n";
    // Each row: the chunks before the data, the lines before "done", and what the outputs' chunks
    // hold: "L" or "R", the chunk's id, '+' (holds) or '-' (not), the text.
    const std::tuple<std::string, std::vector<Bytes>, std::string, std::vector<std::string>>
        rows[] = {
            {"tracks 2 and 5",
             {bext(sd, h), ixml("<TRACK_LIST>" + track("1", "2", "Boom") +
                                track("2", "5", "Plant") + "</TRACK_LIST>")},
             "",
             {std::string("Lbext+sFILENAME=takeL.wav\r\nsTRK2=Boom\r\n\0", 40),
              "Rbext+sFILENAME=takeR.wav\r\nsTRK5=", "RiXML+<NAME>Plant", "RiXML-Boom"}},
            {"LF ends, a blank line, the last line open",
             {bext("zFILENAME=T1.WAV\n\nzTRK3=Lav\nzTRK4=Boom", ""), same},
             "",
             {std::string("Lbext+zFILENAME=takeL.wav\n\nzTRK3=Lav\n\0", 38),
              std::string("Rbext+zFILENAME=takeR.wav\n\nzTRK4=Boom\0", 38),
              "Lbext+A=PCM,F=48000,W=24,M=stereo\r\nA=PCM,F=48000,W=24,M=mono,T=quenlor2"}},
            {"track lines that disagree with iXML",
             {bext(sd, h),
              ixml("<TRACK_LIST>" + track("1", "7", "a") + track("2", "8", "b") + "</TRACK_LIST>")},
             "The bext track lines can't be matched to the channels: kept as they stand.\n",
             {"Lbext+sTRK2=Boom\r\nsTRK5=Plant"}},
            {"a file of a family of two, its copy of bext",
             {bext(sd, h),
              ixml(plain +
                   "<FILE_SET><TOTAL_FILES>2</TOTAL_FILES><FAMILY_UID>FAM</FAMILY_UID>"
                   "<FILE_SET_INDEX>A</FILE_SET_INDEX></FILE_SET><BEXT><BWF_DESCRIPTION>s"
                   "</BWF_DESCRIPTION><BWF_ORIGINATOR_REFERENCE>REF1</BWF_ORIGINATOR_REFERENCE>"
                   "<BWF_LOUDNESS_VALUE>-23</BWF_LOUDNESS_VALUE></BEXT>")},
             "",
             {"RiXML+<FILE_SET_INDEX>B<", "LiXML-FAM<", "LiXML+REF1L</BWF_ORIGINATOR_REFERENCE>",
              "RiXML+<BWF_DESCRIPTION>sFILENAME=takeR.wav&#13;\n", "RiXML-LOUDNESS"}},
            {"cue points in bytes, chunks of the stereo file",
             {Chunk("cue ", cue), Chunk("cart", Bytes(2048, 'c')), Chunk("umid", Bytes(24, 1)),
              Chunk("_PMX", Text("<x/>")), Chunk("fact", Bytes(4, 0)), Chunk("afsp", Bytes(2, 0)),
              same},
             "The umid chunk describes the stereo file, not one channel: left out.\n"
             "The _PMX chunk describes the stereo file, not one channel: left out.\n"
             "The fact chunk describes the stereo file, not one channel: left out.\n"
             "The afsp chunk is of a kind the outputs don't carry: left out.\n",
             {std::string("Rcue +\x2C\x01\0\0\0\0\0\0", 14), "Lcart+cccc"}},
            {"UTF-16, a document type",
             {Chunk("iXML", utf16)},
             "",
             {"LiXML+encoding='UTF-8'?><!DOCTYPE BWFXML><BWFXML><SCENE>12", "LiXML-Boom"}},
            {"entities",
             {ixml(plain, "<!DOCTYPE BWFXML [<!ENTITY a 'b'>]>")},
             "The iXML chunk declares entities of its own: left out.\n",
             {"LiXML+none"}},
            {"a track without its index",
             {ixml("<TRACK_LIST>" + track("2", "1", "Boom") + track("", "2", "Lav") +
                   "</TRACK_LIST>")},
             "",
             {"LiXML+Lav", "RiXML+Boom", "LiXML-Boom"}},
            {"two tracks for a channel",
             {ixml("<TRACK_LIST>" + track("1", "1", "a") + track("1", "2", "b") + "</TRACK_LIST>")},
             "The iXML track list can't be matched to the channels: it is left out.\n",
             {"LiXML+<SCENE>12", "LiXML-TRACK"}},
            {"an odd chunk without its pad byte",
             {First(11, Chunk("JUNK", Text("odd"))), same},
             "",
             {}},
            {"the same iXML alone, other samples", {same}, "", {}},
        };
    std::set<std::string> uids;
    size_t made = 0;
    for (size_t k = 0; k < std::size(rows); ++k) {
        const auto& [row, chunks, message, holds] = rows[k];
        const Bytes s = StereoSamples(24, 1000 * k, 101), fmt = Fmt(24, 2, 48000);
        Bytes file = Riff({chunks[0], fmt, Data(s)});
        for (size_t c = 1; c < chunks.size(); ++c)
            file.insert(file.end(), chunks[c].begin(), chunks[c].end());
        Put("take.wav", file);
        std::string out;
        EXPECT_EQ(Run({"take.wav"}, "", &out), 0) << row;
        EXPECT_EQ(out, "done\n") << row;
        EXPECT_EQ(Get("takeR.wav"), MonoWav(24, 48000, s, 1)) << row;
        EXPECT_EQ(Run({"--keep-metadata", "take.wav"}, "", &out), 0) << row;
        EXPECT_EQ(out, message + "done\n") << row;
        for (const std::string& hold : holds) {
            const std::string got =
                ChunkBody(Get(hold[0] == 'L' ? "takeL.wav" : "takeR.wav"), hold.substr(1, 4));
            EXPECT_EQ(got.find(hold.substr(6)) != std::string::npos, hold[5] == '+')
                << row << hold << got;
        }
        for (const char* name : {"takeL.wav", "takeR.wav"}) {
            const std::string x = ChunkBody(Get(name), "iXML");
            const size_t uid = x.find("<FILE_UID>");
            if (uid != std::string::npos) uids.insert(x.substr(uid, 42)), ++made;
        }
    }
    EXPECT_EQ(uids.size(), made);  // two takes with the same iXML are two takes
    EXPECT_GE(made, 12u);
}

// With --all-channels (before or after --keep-metadata) a take of any channel count and sample
// format recorders write splits into one file per channel, each the channel's samples byte for
// byte (NaN and denormal patterns too) after a header of its format, a fact chunk for all but
// plain PCM, and each output's metadata its channel's; a take of one channel, of 65, or of another
// format is refused and nothing is written. Without the option such takes are refused as ever.
TEST_F(Cli, SplitsEveryChannelOfAnyTakeWhenAsked) {
    Bytes twenty = FmtBody(24, 4, 96000, true, 1), floats = Samples(32, 2, 0, 33);
    twenty[18] = 20;                                    // 20 valid bits in 24
    PutLe(floats, 0x7FC01234, 4), PutLe(floats, 1, 4);  // a NaN's payload, the least denormal
    const Bytes bext = Chunk("bext", Cat({Text("sTRK1=a\r\nsTRK2=b\nsTRK3=c"), Bytes(578, 0)}));
    const Bytes ixml = Chunk("iXML", Text("<BWFXML><TRACK_LIST><TRACK><NAME>a</NAME></TRACK><TRACK>"
                                          "<NAME>b</NAME></TRACK><TRACK><NAME>c</NAME></TRACK>"
                                          "</TRACK_LIST></BWFXML>"));
    // Each row: the format chunk, channels, bits, the samples (frames of the test bytes when
    // none), the message, the outputs' names, their format code and valid bits.
    const std::tuple<std::string, Bytes, int, uint32_t, Bytes, std::string, std::string, int, int>
        rows[] = {
            {"six channels of 24-bit PCM", Fmt(24, 6, 48000), 6, 24, {}, "", "_1 _6", 1, 24},
            {"twelve channels", Fmt(16, 12, 8000), 12, 16, {}, "", "_01 _12", 1, 16},
            {"three of 8 bits, odd frames", Fmt(8, 3, 8000), 3, 8, {}, "", "_1 _3", 1, 8},
            {"32-bit PCM in RF64", Fmt(32, 5, 44100), 5, 32, {}, "", "_1 _5", 1, 32},
            {"stereo float", Fmt(32, 2, 48000, false, 3), 2, 32, floats, "", "L R", 3, 32},
            {"extensible 64-bit float", Fmt(64, 3, 44100, true, 3), 3, 64, {}, "", "_1 _3", 3, 64},
            {"20 bits in 24", Chunk("fmt ", twenty), 4, 24, {}, "", "_1 _4", 0xFFFE, 20},
            {"metadata of three",
             Cat({Fmt(16, 3, 48000), bext, ixml}),
             3,
             16,
             {},
             "",
             "_1 _3",
             1,
             16},
            {"one channel",
             Fmt(16, 1, 8000),
             1,
             16,
             {},
             "The file you want to split has one channel: there is nothing to split!\n",
             "",
             0,
             0},
            {"65 channels",
             Fmt(16, 65, 8000),
             65,
             16,
             {},
             "The file you want to split has no channels, or more than 64!\n",
             "",
             0,
             0},
            {"16-bit float",
             Fmt(16, 2, 8000, false, 3),
             2,
             16,
             {},
             "8, 16, 24 or 32 bit PCM or 32 or 64 bit float wave files only!\n",
             "",
             0,
             0},
        };
    for (const auto& [row, fmt, n, bits, given, message, names, code, valid] : rows) {
        const Bytes s = given.empty() ? Samples(bits, n, 0, 101) : given;
        const bool rf64 = bits == 32 && code == 1;
        Fresh();
        Put("take.wav", rf64 ? Riff({Ds64(0, s.size(), 101), fmt, Data(s, 0xFFFFFFFF)}, "RF64")
                             : Riff({fmt, Data(s)}));
        std::string out;
        EXPECT_EQ(Run({"take.wav"}, "", &out), 1) << row;
        const bool meta = row.find("metadata") != std::string::npos;
        // The options in either order, or alone.
        const std::vector<std::string> args =
            meta        ? std::vector<std::string>{"--keep-metadata", "--all-channels", "take.wav"}
            : code == 1 ? std::vector<std::string>{"--all-channels", "take.wav"}
                        : std::vector<std::string>{"--all-channels", "--keep-metadata", "take.wav"};
        EXPECT_EQ(Run(args, "", &out), message.empty() ? 0 : 1) << row;
        EXPECT_EQ(out, message.empty() ? "done\n" : message) << row;
        EXPECT_EQ(Files().size(), message.empty() ? size_t(n) + 1 : 1) << row;
        const size_t width = bits / 8, cut = names.find(' ');
        for (int k = 0; k < n && message.empty(); ++k) {
            // The names of the first and the last, and every channel's bytes.
            const std::string num = std::to_string(k + 1),
                              zeros(cut > num.size() ? cut - 1 - num.size() : 0, '0');
            const std::string tag = n == 2       ? std::string(1, "LR"[k])
                                    : k == 0     ? names.substr(0, cut)
                                    : k == n - 1 ? names.substr(cut + 1)
                                                 : "_" + zeros + num;
            const Bytes got = Get("take" + tag + ".wav");
            const std::string f = ChunkBody(got, "fmt "), data = ChunkBody(got, "data");
            const Bytes mono = ChannelSamples(s, width, k, size_t(n));
            EXPECT_EQ(Bytes(data.begin(), data.end()), mono) << row << k;
            EXPECT_EQ(got.size(), 8 + (got[4] | got[5] << 8 | size_t(got[6]) << 16)) << row;
            EXPECT_TRUE(f[0] == char(code & 0xFF) && f[2] == 1 && f[12] == char(width) &&
                        f[14] == char(bits) && (code != 0xFFFE || f[18] == char(valid)))
                << row << k;
            EXPECT_EQ(ChunkBody(got, "fact") == "none", code == 1) << row;
            if (!meta) continue;
            // Each keeps its own track line, with its own line end.
            const std::string line = std::string("sTRK1=a\r\nsTRK2=b\nsTRK3=c\0", 25)
                                         .substr(k == 0 ? 0 : 1 + 8 * size_t(k), k == 0 ? 9 : 8);
            EXPECT_EQ(ChunkBody(got, "bext").substr(0, line.size()), line) << row;
            const std::string x = ChunkBody(got, "iXML");
            EXPECT_NE(x.find(std::string("<NAME>") + char('a' + k) +
                             "</NAME></TRACK></TRACK_LIST>"
                             "<FILE_UID>"),
                      std::string::npos)
                << x;
            EXPECT_NE(x.find("<TOTAL_FILES>3</TOTAL_FILES>"), std::string::npos) << x;
        }
    }
}

// Options count only as the first argument, spelled exactly so; a word typed at a prompt is
// always a name. Help is offered once, and x exits only at the second prompt.
TEST_F(Cli, AnswersArgumentsAndPromptsAsTheyCome) {
    Put("zoo.wav", StereoWav(16, 44100, 10));
    Put("Guest A.wav", StereoWav(16, 44100, 10));
    const std::string missing = "sub/" + std::string(400, 'm') + ".wav";
    const std::string again = PROMPT1 + HELP + PROMPT2;
    using Args = std::vector<std::string>;
    const std::tuple<std::string, Args, std::string, int, std::string> rows[] = {
        {"x at the second prompt exits", {}, "h\nx\n", 1, again},
        {"a name sorting after x is a name", {}, "h zoo.wav", 0, again + "done\n"},
        {"only the first word is the name", {}, "  zoo.wav more words", 0, PROMPT1 + "done\n"},
        {"x at the first prompt is a name", {}, "x\n", 2, PROMPT1 + NO_FILE + "x!!\n"},
        {"help is offered once", {}, "h\nh\n", 2, again + NO_FILE + "h!!\n"},
        {"a name ends at a NUL byte", {}, std::string("h\0zoo\nx\n", 8), 1, again},
        {"long names fit", {}, missing + "\n", 2, PROMPT1 + NO_FILE + missing + "!!\n"},
        {"end of input gives no name", {}, "", 2, PROMPT1 + NAME_ERROR},
        {"end of input at the second prompt", {}, "h", 2, again + NAME_ERROR},
        {"the second argument is ignored", {"...", "zoo.wav"}, "", 2, NAME_ERROR},
        {"an option only when spelled so", {"--HELP"}, "", 2, NO_FILE + "--HELP!!\n"},
        {"a path is no option", {"./--help"}, "", 2, NO_FILE + "./--help!!\n"},
        {"an option only first", {"zoo.wav", "--help"}, "", 0, "done\n"},
        {"no option at a prompt", {}, "h -h\n", 2, again + NO_FILE + "-h!!\n"},
        // A file dropped on the window is typed in quotes when its path has a space.
        {"a quoted name", {}, "\"Guest A.wav\" more\n", 0, PROMPT1 + "done\n"},
        {"single quotes", {}, "h  'Guest A.wav'\n", 0, again + "done\n"},
        {"a quote runs to the line's end", {}, "\"Guest A.wav\nzoo\"", 0, PROMPT1 + "done\n"},
    };
    for (const auto& [fault, args, input, status, message] : rows) {
        std::string out;
        EXPECT_EQ(Run(args, input, &out), status) << fault;
        EXPECT_EQ(out, message) << fault;
    }
    // Help and version start as help2man and version parsers expect, and create no file.
    const std::pair<Args, std::string> asked[] = {
        {{"--help"}, "Usage: quenlor2 [--keep-metadata] [--all-channels] [FILE]\n"},
        {{"-h", "zoo.wav"}, "Usage: quenlor2 [--keep-metadata] [--all-channels] [FILE]\n"},
        {{"--version"},
         "quenlor2 (Quenlor) " QUENLOR_VERSION "\nCopyright (c) 2026 the Quenlor authors\n"}};
    for (const auto& [args, start] : asked) {
        fs::remove(dir / "zooL.wav");
        std::string out;
        EXPECT_EQ(Run(args, "", &out), 0);
        EXPECT_EQ(out.rfind(start, 0), 0u) << out;
        EXPECT_NE(out.find(args[0] == "--version" ? "License MIT" : "man quenlor2"),
                  std::string::npos)
            << out;
        EXPECT_EQ(Files(), (std::set<std::string>{"zoo.wav", "zooR.wav", "Guest A.wav",
                                                  "Guest AL.wav", "Guest AR.wav"}));
        // Help fits in 80 columns.
        if (args[0] == "--version") continue;
        for (size_t at = 0, next; (next = out.find('\n', at)) != std::string::npos; at = next + 1) {
            EXPECT_LE(next - at, 80u) << out.substr(at, next - at);
        }
    }
    // A program driving this one through pipes sends the name only once the prompt has come.
    const std::string io = Quote(dir.string() + ".pipe");
    std::string out;
    EXPECT_EQ(
        Shell("mkfifo " + io + " && exec 3>&1 && { head -c " + std::to_string(PROMPT1.size()) +
                  " >/dev/null; echo zoo.wav; cat >&3; } <" + io + " | timeout 5 " +
                  Quote(QUENLOR_BIN) + " >" + io + "; s=$?; rm " + io + "; exit $s",
              "", &out),
        0);
    EXPECT_EQ(out, "done\n");
}

// Every refusal, of a file or of what is no file, and every input kept from fuzzing, ends with the
// program's own message and leaves no output; a kept input that splits leaves outputs whose headers
// declare their size.
TEST_F(Cli, RejectedInputsLeaveNoOutput) {
    const Bytes fmt = Fmt(16, 2, 8000), header = Riff({fmt, Data({})});
    const std::tuple<std::string, Bytes, std::string, int> rows[] = {
        {"channels are checked before bits", Riff({Fmt(8, 1, 8000), Data({})}), NOT_STEREO, 1},
        {"more than two channels", Riff({Fmt(16, 4, 8000), Data({})}), NOT_STEREO, 1},
        {"more than 24 bits", Riff({Fmt(32, 2, 8000), Data({})}), BITS_ONLY, 1},
        {"AC-3 audio", Riff({Fmt(16, 2, 48000, false, 0x2000), Data(Bytes(64, 0x77))}), NOT_PCM, 1},
        {"extensible float", Riff({Fmt(16, 2, 48000, true, 3), Data(Bytes(64, 0x77))}), NOT_PCM, 1},
        {"bits are checked before the code", Riff({Fmt(8, 2, 8000, false, 2), Data({})}), BITS_ONLY,
         1},
        {"the code is checked before the data tag", Riff({Fmt(16, 2, 8000, false, 0x55)}), NOT_PCM,
         1},
        {"fewer than 16 bits", Riff({Fmt(8, 2, 8000), Data({})}), BITS_ONLY, 1},
        {"no data tag", Riff({fmt}), NO_DATA, 2},
        // No chain to walk: the data tag lands at 15,002.
        {"a data tag past the scan",
         Cat({Text("RIFF"), Bytes(4, 0), Text("WAVF"), fmt, Chunk("JUNK", Bytes(14958, 0)),
              Data({})}),
         NO_DATA, 2},
        {"a data tag at an odd place", Riff({fmt, Bytes{0}, Data({})}), NO_DATA, 2},
        {"a bits field past the end", First(30, header), BITS_ONLY, 1},
        {"a channels field cut", First(23, header), NOT_STEREO, 1},
        {"an empty file", Bytes(), NO_FORMAT + NOT_STEREO, 1},
        {"no format tag", Bytes(20000, 'd'), NO_FORMAT + NOT_STEREO, 1},
    };
    for (const auto& [fault, file, message, status] : rows) {
        Put("in.wav", file);
        std::string out;
        EXPECT_EQ(Run({"in.wav"}, "", &out), status) << fault;
        EXPECT_EQ(out, message) << fault;
        EXPECT_EQ(Files(), std::set<std::string>{"in.wav"}) << fault;
    }
    // A folder, a device or a FIFO is no recording: refused without being opened, so a FIFO's
    // waiting writer is left waiting instead of being let on into a closed pipe.
    std::string out;
    EXPECT_EQ(Shell("mkdir folder.wav; ln -s /dev/zero zero.wav; mkfifo fifo.wav; (echo >fifo.wav) "
                    "& for f in folder zero fifo; do timeout 10 " +
                        Quote(QUENLOR_BIN) +
                        " $f.wav; echo $?; done; sleep 0.2; kill -0 $! && echo waits; kill $!",
                    "", &out),
              0);
    EXPECT_EQ(out, NO_FILE + "folder.wav!!\n2\n" + NO_FILE + "zero.wav!!\n2\n" + NO_FILE +
                       "fifo.wav!!\n2\nwaits\n");
    const std::set<std::string> refusals = {NOT_STEREO, BITS_ONLY, NO_DATA, NOT_PCM};
    // The inputs kept from fuzzing, and the seeds it started from.
    auto inputs = Seeds();
    for (const auto& entry : fs::directory_iterator(QUENLOR_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        inputs.push_back(
            {entry.path().filename().string(), Bytes(std::istreambuf_iterator<char>(in), {})});
    }
    EXPECT_GT(inputs.size(), Seeds().size()) << "no kept inputs in " QUENLOR_CORPUS;
    for (const auto& [name, bytes] : inputs) {
        Fresh();
        Put("in.wav", bytes);
        const int status = Run({"in.wav"}, "", &out);
        if (out.rfind(NO_FORMAT, 0) == 0) out.erase(0, NO_FORMAT.size());
        EXPECT_TRUE(status == 0 ? out == "done\n" : refusals.count(out) == 1) << name << out;
        if (status != 0) {
            EXPECT_EQ(Files(), std::set<std::string>{"in.wav"}) << name;
            continue;
        }
        // The data length, then the samples and their pad byte, to the end; the RIFF length
        // counts them all.
        const Bytes left = Get("inL.wav");
        const uint64_t data = left[40] | left[41] << 8 | left[42] << 16 | uint64_t{left[43]} << 24;
        Bytes riff;
        PutLe(riff, left.size() - 8, 4);
        EXPECT_EQ(left.size(), 44 + data + data % 2) << name;
        EXPECT_EQ(Bytes(left.begin() + 4, left.begin() + 8), riff) << name;
        EXPECT_EQ(left.size(), Get("inR.wav").size()) << name;
    }
}

// An output that is the input, or the other output, under another name is refused before any
// file is created or changed; a link to the input under a name that is no output still splits.
TEST_F(Cli, RefusesOnlyOutputsThatLeadBackToTheInput) {
    const Bytes take = StereoWav(16, 44100, 300);
    // Each row: the entries made beside a file take.wav, the input's name, and what is refused.
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"ln -s take.wav takeL.wav", "take.wav", "takeL.wav is the same file as take.wav"},
        {"mv take.wav takeR.wav && ln -s takeR.wav take.wav", "take.wav",
         "takeR.wav is the same file as take.wav"},
        {"ln take.wav takeR.wav", "take.wav", "takeR.wav is the same file as take.wav"},
        {"mkdir sub && mv take.wav sub/ && ln -s ../sub/take.wav sub/takeL.wav", "sub/take.wav",
         "sub/takeL.wav is the same file as sub/take.wav"},
    };
    std::string out;
    for (const auto& [setup, input, message] : rows) {
        Fresh();
        Put("take.wav", take);
        ASSERT_EQ(Shell(setup, "", &out), 0) << setup;
        const std::set<std::string> before = Files();
        EXPECT_EQ(Run({input}, "", &out), 2) << setup;
        EXPECT_EQ(out, "Output file " + message + "!\n");
        EXPECT_EQ(Files(), before) << setup;
        for (const auto& name : before) {  // every file, links followed, still holds the take
            if (fs::is_regular_file(dir / name)) {
                EXPECT_EQ(Get(name), take) << setup << name;
            }
        }
    }
    // A link standing at an output name, even one to the other output, is replaced by the
    // output; a replaced file keeps its permission bits, a new one gets the usual ones.
    const Bytes samples = StereoSamples(16, 0, 300);
    for (const bool left_before : {false, true}) {
        Fresh();
        Put("take.wav", take);
        if (left_before) {
            Put("takeL.wav", take);
            fs::permissions(dir / "takeL.wav", fs::perms::owner_read | fs::perms::owner_write);
        }
        fs::create_symlink("takeL.wav", dir / "takeR.wav");
        EXPECT_EQ(Shell("umask 022 && " + Quote(QUENLOR_BIN) + " take.wav", "", &out), 0);
        EXPECT_EQ(out, "done\n");
        EXPECT_EQ(Get("takeL.wav"), MonoWav(16, 44100, samples, 0));
        EXPECT_EQ(Get("takeR.wav"), MonoWav(16, 44100, samples, 1));
        EXPECT_FALSE(fs::is_symlink(dir / "takeR.wav"));
        EXPECT_EQ(fs::status(dir / "takeL.wav").permissions(),
                  left_before ? fs::perms::owner_read | fs::perms::owner_write : fs::perms(0644));
        EXPECT_EQ(fs::status(dir / "takeR.wav").permissions(), fs::perms(0644));
    }
    // The longest name a folder takes is an output name like any other; one longer is refused
    // before anything is made.
    const std::string stem(251, 'n');
    Put(stem + ".wav", take);
    std::set<std::string> before = Files();
    EXPECT_EQ(Run({stem + ".wav"}, "", &out), 2);
    EXPECT_EQ(out, "Unable to open file.\n");
    EXPECT_EQ(Files(), before);
    Put(stem.substr(1) + ".wav", take);
    EXPECT_EQ(Run({stem.substr(1) + ".wav"}, "", &out), 0);
    EXPECT_EQ(out, "done\n");
    EXPECT_EQ(Get(stem.substr(1) + "R.wav"), MonoWav(16, 44100, samples, 1));

    // A path that leaves no room for a temporary beside the outputs is refused before the copy.
    Shell(
        "p=$(printf %0199d 0 | tr 0 d); p=$p/$p/$p/$p/$p/$p/$p/$p/$p/$p; p=$p/$p/$(printf %049d 0) "
        "&& mkdir -p $p && cp take.wav $p && " +
            Quote(QUENLOR_BIN) + " $p/take.wav; ls $p | wc -l; rm -r d*",
        "", &out);
    EXPECT_EQ(out, "Unable to open file.\n1\n");
    fs::create_symlink("take.wav", dir / "alias.wav");
    EXPECT_EQ(Run({"alias.wav"}, "", &out), 0);
    EXPECT_EQ(out, "done\n");
    EXPECT_EQ(Get("aliasR.wav").size(), 44u + 600);
    EXPECT_EQ(Get("take.wav"), take);
}

// A user whose umask gives new files no read permission (0477) still gets outputs that keep
// the permission bits of the files they replace.
TEST_F(Cli, AsAUserOtherThanRootKeepsModesWhateverTheUmask) {
    const std::string as_nobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups";
    if (!Have(as_nobody + " true")) GTEST_SKIP() << "needs setpriv (util-linux), run as root";
    Put("take.wav", StereoWav(16, 8000, 100));
    Put("takeL.wav", Bytes(100, 'L'));
    Put("takeR.wav", Bytes(100, 'R'));
    for (const std::string name : {"take.wav", "takeL.wav", "takeR.wav"}) {
        fs::permissions(dir / name, fs::perms(0644));
    }
    fs::permissions(dir, fs::perms::all);
    std::string out;
    EXPECT_EQ(Shell("umask 0477 && " + as_nobody + " " + Reachable() + " take.wav", "", &out), 0);
    EXPECT_EQ(out, "done\n");
    EXPECT_EQ(Get("takeL.wav").size(), 244u);
    EXPECT_EQ(fs::status(dir / "takeL.wav").permissions(), fs::perms(0644));
    EXPECT_EQ(fs::status(dir / "takeR.wav").permissions(), fs::perms(0644));
    // In a folder the user can write in but not read (a drop box), the pair is replaced as
    // anywhere else; in one the user can't write, no output can be made.
    fs::permissions(dir, fs::perms(0333));
    EXPECT_EQ(Shell(as_nobody + " " + Reachable() + " take.wav", "", &out), 0);
    EXPECT_EQ(out, "done\n");
    fs::permissions(dir, fs::perms(0755));
    EXPECT_EQ(Files(), (std::set<std::string>{"take.wav", "takeL.wav", "takeR.wav"}));
    fs::permissions(dir, fs::perms(0755));
    EXPECT_EQ(Shell(as_nobody + " " + Reachable() + " take.wav", "", &out), 2);
    EXPECT_EQ(out, "Unable to open file.\n");
}

// exFAT has no inodes: its FUSE driver numbers a file anew each time the kernel brings it back
// into memory. Caches evicted during runs must not make an unchanged input look changed. Names
// there and on NTFS count in UTF-16 units, and ntfs-3g refuses to rename over long ones.
TEST_F(Cli, OnExfatAndNtfs3gThroughFuseInputsStayTheirOwnAndLongNamesWork) {
    Put("take.wav", StereoWav(16, 44100, 200000));
    Put("short.wav", StereoWav(24, 44100, 1000));
    if (!Have("command -v mkfs.exfat && command -v mount.exfat-fuse && command -v ntfs-3g && "
              "losetup -f && test -w /proc/sys/vm/drop_caches")) {
        GTEST_SKIP() << "needs exfatprogs, exfat-fuse, ntfs-3g, a loop device and root";
    }
    std::string out;
    EXPECT_EQ(
        Shell("q=" + Quote(QUENLOR_BIN) +
                  "; truncate -s 64M fs.img nt.img && mkfs.exfat fs.img >/dev/null && mkdir "
                  "fs nt && mkntfs -F -Q nt.img >/dev/null 2>&1 && loop=$(losetup -f --show "
                  "fs.img) || exit 1; trap 'umount fs nt; losetup -d $loop' EXIT; "
                  "mount.exfat-fuse $loop fs 2>/dev/null && ntfs-3g nt.img nt && cp take.wav "
                  "fs/ || exit 1; "
                  "(while echo 2 >/proc/sys/vm/drop_caches; do sleep 0.005; done) & evict=$!; "
                  "for i in $(seq 100); do $q fs/take.wav; done | sort | uniq -c; kill $evict; "
                  // Two spellings of one pair, where case folds, take one turn.
                  "cp take.wav fs/TAKE.1.wav && cp short.wav fs/take.2.wav && for i in "
                  "$(seq 10); do $q fs/TAKE.1.wav & $q fs/take.2.wav; wait $!; done | grep -c "
                  "done; stat -c %s fs/*L.wav fs/*R.wav | uniq | wc -l; rm fs/*[12LR].wav; "
                  // 89 CJK characters (257 bytes) fit, 256 don't; a pair of 245 is made again.
                  "for n in 84 251; do b=fs/$(printf '\xe9\x8c\xb2%.0s' $(seq $n)); "
                  "cp take.wav $b.wav; $q $b.wav; ls fs | wc -l; done; "
                  "s=nt/$(printf 'n%.0s' $(seq 240)); cp take.wav $s.wav && $q $s.wav && "
                  "$q $s.wav; ls nt | wc -l",
              "", &out),
        0);
    EXPECT_EQ(out, "    100 done\n20\n1\ndone\n4\nUnable to open file.\n5\ndone\ndone\n3\n");
}

// Files on two file systems may share an inode number and still be two files; a full one is
// found out before the copy.
TEST_F(Cli, UnderUnshareFilesOfOneInodeNumberOnTwoFileSystemsAreTwo) {
    if (!Have("unshare -m true")) GTEST_SKIP() << "needs unshare (util-linux) and mount rights";
    Put("take.wav", StereoWav(16, 44100, 300));
    std::string out;
    EXPECT_EQ(Shell("unshare -m sh -c 'mkdir a b && mount -t tmpfs a a && mount -t tmpfs b b && "
                    "cp take.wav a/ && cp take.wav b/ && ln -s ../b/take.wav a/takeL.wav && " +
                        Quote(QUENLOR_BIN) +
                        " a/take.wav; mkdir c && mount -t tmpfs -o size=1m c c && "
                        "cp take.wav c/ && truncate -s 64M c/take.wav && " +
                        Quote(QUENLOR_BIN) + " c/take.wav; ls c'",
                    "", &out),
              0);
    // A disk without room for the outputs (a 64 MiB input, sparse) is found before the copy.
    EXPECT_EQ(out, "done\nUnable to write file.\ntake.wav\n");
}

// An output name shows the file it had before the run or a whole new output, never a part:
// whatever stops a run leaves the previous outputs as they were and no temporary behind, and
// runs at once on one input leave what one run leaves.
TEST_F(Cli, UnderStraceOutputsAppearWholeOrNotAtAll) {
    if (!Have("strace -f -o /dev/null true && pgrep -V")) GTEST_SKIP() << "needs strace, pgrep";
    const std::string bin = Quote(QUENLOR_BIN) + " take1.wav";
    // The run held in its left copy, after the first block, while `action` comes.
    const auto part_way = [&](const std::string& action) {
        return Held("-P take1.wav -e trace=read -e inject=read:signal=SIGSTOP:when=4", bin, action);
    };
    const std::string changed = "The file you want to convert changed during the split!\n";
    // Each row: what happens, the command, its status and message; the previous outputs then
    // stand as they were, or, after "done", the new ones.
    const std::tuple<std::string, std::string, int, std::string> rows[] = {
        {"a folder at the left output's name", "rm take1L.wav; mkdir take1L.wav; " + bin, 2,
         "Unable to open file.\n"},
        {"a folder at the right output's name", "rm take1R.wav; mkdir take1R.wav; " + bin, 2,
         "Unable to open file.\n"},
        {"a file size limit", "ulimit -f 8 && exec " + bin, 2, "Unable to write file.\n"},
        {"an interrupt", part_way("kill -INT $p"), 130, ""},
        {"a user's signal", part_way("kill -USR1 $p"), 138, ""},
        {"the folder locked by another program",
         "(flock 9; sleep 10) 9<. 2>/dev/null & exec " + bin, 0, "done\n"},
        {"an alarm", part_way("kill -ALRM $p"), 142, ""},
        {"a closed pipe's signal", part_way("kill -PIPE $p"), 141, ""},
        {"the input replaced", part_way("ln -f new.wav take1.wav"), 2, changed},
        {"the input grown, its time put back",
         part_way("touch -r take1.wav new.wav && echo >>take1.wav && touch -r new.wav take1.wav"),
         2, changed},
        {"the input's time set back", part_way("touch -d 2001-01-01 take1.wav"), 2, changed},
        {"the input cut, its time put back",
         part_way("touch -r take1.wav new.wav && truncate -s -4 take1.wav && touch -r new.wav "
                  "take1.wav"),
         2, changed},
        {"the input rewritten, its time put back",
         part_way("touch -r take1.wav new.wav && printf x | dd of=take1.wav bs=1 seek=99 "
                  "conv=notrunc 2>/dev/null && touch -r new.wav take1.wav"),
         2, changed},
        {"the temporaries removed", part_way("rm quenlor2-*.part"), 2, "Unable to open file.\n"},
        {"the temporaries' names given to other files",
         part_way("for f in quenlor2-*.part; do cp new.wav $f.x && mv $f.x $f; done"), 2,
         "Unable to open file.\n"},
        // What changes only the input's metadata is no change.
        {"the input's mode changed", part_way("chmod 600 take1.wav"), 0, "done\n"},
        {"the input's access time set", part_way("touch -a take1.wav"), 0, "done\n"},
        {"a link made to the input", part_way("ln -f take1.wav new.wav"), 0, "done\n"},
    };
    for (const auto& [fault, command, status, message] : rows) {
        Fresh();
        Put("take1.wav", WavHeader(16, 2, 44100, 0));
        fs::resize_file(dir / "take1.wav", 16 << 20);
        Put("new.wav", StereoWav(24, 8000, 10));
        Put("take1L.wav", Bytes(100, 'L'));
        Put("take1R.wav", Bytes(100, 'R'));
        std::string out;
        EXPECT_EQ(Shell(command, "", &out), status) << fault;
        EXPECT_EQ(out, message) << fault;
        EXPECT_EQ(Files(),
                  (std::set<std::string>{"new.wav", "take1.wav", "take1L.wav", "take1R.wav"}))
            << fault;
        for (const std::string side : {"L", "R"}) {
            const std::string name = "take1" + side + ".wav";
            EXPECT_TRUE(status == 0
                            ? fs::file_size(dir / name) == 44 + (16 << 19) - 22
                            : fs::is_directory(dir / name) || Get(name) == Bytes(100, side[0]))
                << fault << ": " << name;
        }
    }
    // A signal the caller blocked stays blocked throughout: pending from the start (it stays so
    // across exec), it waits, and the run ends "done".
    Fresh();
    Put("take1.wav", StereoWav(16, 8000, 1000));
    sigset_t usr1, caller;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, &caller);
    std::string out;
    const int status = Shell("kill -USR1 $$; exec " + bin, "", &out);
    sigprocmask(SIG_SETMASK, &caller, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "done\n");
    // Runs writing one pair at once, from one input or from two of one base name, leave one
    // run's whole pair.
    Fresh();
    const Bytes take = StereoWav(24, 48000, 1 << 20), other = StereoWav(24, 48000, 1 << 19);
    Put("take1.wav", take);
    Put("take1.b.wav", other);
    Put("take1L.wav", Bytes(100, 'L'));
    for (const std::string second : {"take1.wav", "take1.b.wav", "take1.b.wav"}) {
        EXPECT_EQ(Shell(bin + " & " + Quote(QUENLOR_BIN) + " " + second + "; wait $!", "", &out),
                  0);
        EXPECT_EQ(out, "done\ndone\n");
        const Bytes left = Get("take1L.wav");
        const Bytes& from = left.size() == 44 + (take.size() - 44) / 2 ? take : other;
        const Bytes samples(from.begin() + 44, from.end());
        EXPECT_EQ(left, MonoWav(24, 48000, samples, 0)) << second;
        EXPECT_EQ(Get("take1R.wav"), MonoWav(24, 48000, samples, 1)) << second;
        EXPECT_EQ(Files(),
                  (std::set<std::string>{"take1.wav", "take1.b.wav", "take1L.wav", "take1R.wav"}));
    }
}

// The pair's turn belongs to one live run: a run held in it keeps it (another waits, then says
// who holds it), as another machine's or container's run keeps its own; a run killed at any step
// of its turn, or before it, leaves what the next run puts right, while a live run's temporaries
// stay.
TEST_F(Cli, UnderStraceTheTurnBelongsToOneLiveRun) {
    if (!Have("strace -f -o /dev/null true && pgrep -V")) GTEST_SKIP() << "needs strace, pgrep";
    const std::string bin = Quote(QUENLOR_BIN), trace = "ASAN_OPTIONS=detect_leaks=0 strace -f ";
    const Bytes x = StereoWav(16, 8000, 1000), samples(x.begin() + 44, x.end());
    Put("x.wav", x);
    Put("x.1.wav", StereoWav(24, 8000, 700));
    std::string out;
    Shell(
        "mkdir far lnk box; for f in far lnk box; do cp x.wav $f; done; ln -s nowhere "
        "lnk/quenlor2-turn.lock; printf 'quenlor2 lock\\nhost 10:else\\033where\\nmachine "
        "1:m\\nboot "
        "1:b\\npid 4242\\nstart 5\\n' >far/quenlor2-turn.lock; b=$(cat /proc/sys/kernel/random/"
        "boot_id); printf 'quenlor2 lock\\nhost 4:box2\\nmachine 1:m\\nboot %d:%s\\npid 4\\nstart "
        "5\\n' ${#b} $b >box/quenlor2-turn.lock; for f in far lnk box; do (" +
            bin + " $f/x.wav; echo $?) >$f.out & done; " +
            Held("-e trace=rename -e inject=rename:signal=SIGSTOP:when=1", bin + " x.wav",
                 "{ " + bin + " x.1.wav; echo $?; } | sed \"s/process [0-9]* on $(uname -n)/N/\"") +
            "; wait; cat far.out lnk.out box.out; rm -r far* lnk* box*",
        "", &out);
    EXPECT_EQ(out,
              "The lock quenlor2-turn.lock is held by N.\nUnable to write file.\n2\ndone\nThe "
              "lock far/quenlor2-turn.lock is held by process 4242 on else?where.\nUnable to "
              "write file.\n2\nCan't tell who holds the lock lnk/quenlor2-turn.lock: remove it "
              "if no split is running.\nUnable to write file.\n2\nThe lock box/quenlor2-turn.lock "
              "is held by a split in another container of this computer.\nUnable to write "
              "file.\n2\n");
    EXPECT_EQ(Get("xL.wav"), MonoWav(16, 8000, samples, 0));
    EXPECT_EQ(Get("xR.wav"), MonoWav(16, 8000, samples, 1));
    // Killed at each step of the turn (set-aside, renames, flushes, removals), or in its copy while
    // another run is held in its own (whose temporaries stay, and whose "done" is true): the next
    // run ends "done", its pair alone beside the inputs. (Another user's: see the left-behind
    // turn's rows.)
    for (const std::string step :
         {"renameat2:when=1", "renameat2:when=2", "rename:when=1", "fsync:when=3", "fsync:when=5",
          "unlink:when=1", "unlink:when=2", "read:when=3"}) {
        Put("xL.wav", Bytes(10, 'L'));
        Put("xR.wav", Bytes(10, 'R'));
        const std::string only = step == "read:when=3" ? "-P x.wav -e trace=read " : "";
        const std::string dead = trace + "-o /dev/null " + only +
                                 "-e inject=" + step.substr(0, step.find(':')) + ":signal=SIGKILL" +
                                 step.substr(step.find(':')) + " " + bin + " x.wav; ";
        Shell(step != "read:when=3"
                  ? dead + bin + " x.1.wav"
                  : dead + Held("-P x.1.wav -e trace=read -e inject=read:signal=SIGSTOP:when=3",
                                bin + " x.1.wav", bin + " x.wav; ls | grep -c part"),
              "", &out);
        EXPECT_EQ(out, step == "read:when=3" ? "done\n2\ndone\n" : "done\n") << step;
        EXPECT_EQ(Files(), (std::set<std::string>{"x.wav", "x.1.wav", "xL.wav", "xR.wav"})) << step;
        EXPECT_EQ(Get("xR.wav").size(), 44u + 2100) << step;
    }
}

// What a dead run's turn left is put right only as that run could have, whatever killed it,
// wherever it ran, whoever owns the previous pair and whichever version left it: a new output is
// known by what it is; what can't be put right is named, and a lock that says what its run could
// not have made, or that another user's ended run left where this one may not act, is named and
// nothing is touched; a previous output is never swept. A wait for the turn that ends names why.
// (The rows: tests/left_behind.sh.)
TEST_F(Cli, UnderStraceATurnLeftBehindIsPutRightOnlyAsItsRunCould) {
    if (!Have("strace -f -o /dev/null true && unshare -p -f -u --mount-proc true && setpriv -V"))
        GTEST_SKIP() << "needs strace, unshare and setpriv (util-linux), run as root";
    const std::string done = "done\n", kept = "is kept as quenlor2-N.prev.\n",
                      aside = "The previous xL.wav, set aside by a split that was cut short, ",
                      lock = "The lock quenlor2-turn.lock ", fail = "\nUnable to write file.\n",
                      left =
                          "A split that was cut short left quenlor2-N.prev, which may hold a "
                          "previous output.\n";
    const std::pair<std::string, std::string> rows[] = {
        {"planted",
         "The lock s/quenlor2-turn.lock names files its split did not make: nothing was changed."
         "\nUnable to write file.\n2\nkeep\nquenlor2-turn.lock\nx.wav\n"},
        {"damaged", "done\nLLLLLLLLLLRRRRRRRRRR\n"},
        {"failing", "Unable to write file. The previous xL.wav " + kept +
                        "Unable to write file. The previous xR.wav " + kept +
                        "done\nLLLLLLLLLLRRRRRRRRRR\n"},
        {"pid-ns", done},
        {"uts-ns", done},
        {"hidepid", "done\n\n"},
        {"three-dead", done},
        {"sticky",
         lock + "is left by user daemon, whose next split here puts it right." + fail + done},
        {"upgrade", "done\nLLLLRRRR\ndone\nLLLLRRRR\ndone\nRIFFRIFF\n"},
        {"own-file", aside + kept + "done\nmineRRRR\nLLLLLLLLLL\n" + aside + kept +
                         "done\nRIFFRRRR\nLLLLLLLLLL\n"},
        {"others-pair", "done\nLLLLRRRR\ndone\nRIFFRIFF\n"},
        {"cut", "done\nLLLLRRRR\n" + left + left + "done\nRIFF-\nLLLLLLLLLLRRRRRRRRRR\n"},
        {"writing", lock + "is being written by a split that is stopped or slow." + fail + done},
        {"stopped", lock + "is being put right by a split that is stopped or slow." + fail + done +
                        lock + "of an ended split can't be put right: the file system refuses." +
                        fail + "done\nLLLLRRRR\n"},
        {"swapped", "Unable to write file.\nLLLLRRRRLLLLRRRR\nxL.wav xR.wav \n"},
    };
    for (const auto& [row, said] : rows) {
        Fresh();
        Put("x.wav", StereoWav(16, 8000, 1000));
        Put("x.1.wav", StereoWav(24, 8000, 700));
        Put("xL.wav", Bytes(10, 'L'));
        Put("xR.wav", Bytes(10, 'R'));
        std::string out;
        Shell("sh " + Quote(SCRIPTS "/left_behind.sh") + " " + Reachable() + " " + row +
                  " 2>/dev/null",
              "", &out);
        EXPECT_EQ(out, said + "x.1.wav x.wav xL.wav xR.wav ") << row;
    }
}

// A split held by strace for a few seconds shows its progress on a terminal, on standard error
// only, and erases it before "done"; a message that can't be written (a full disk, a closed
// standard output) fails a run that did its work.
TEST_F(Cli, OnATerminalShowsProgressAndAMessageLostIsAFailure) {
    if (!Have("strace -f -o /dev/null true && script -qc true /dev/null"))
        GTEST_SKIP() << "needs strace and script (util-linux)";
    Put("big.wav", StereoWav(16, 48000, 4000000));
    std::string out;
    Shell("q=" + Quote(QUENLOR_BIN) +
              "; slow=\"env ASAN_OPTIONS=detect_leaks=0 strace -f -o "
              "/dev/null -e trace=read -e inject=read:delay_exit=60000 $q big.wav\"; script -qc "
              "\"$slow\" /dev/null | tr '\\r' '\\n' | grep -c '^ *[0-9]*%  [0-9.]* of 16.0 MB$'; "
              "script -qc \"$slow\" /dev/null | tail -c 30 | tr '\\r' '|'; script -qc \"$slow "
              "2>err\" /dev/null >/dev/null; wc -c <err; for o in '>/dev/full' '>&-'; do for a in "
              "big.wav --help --version; do rm -f big?.wav; eval \"$q $a $o\"; echo $? $(ls | grep "
              "-c "
              "L.wav); done; done",
          "", &out);
    // The line, 21 characters at its end, is erased before "done" (script ends lines CR LF).
    const int lines = std::atoi(out.c_str());
    EXPECT_TRUE(lines > 3 && lines < 300) << out;
    EXPECT_NE(out.find("B|" + std::string(21, ' ') + "|done|\n0\n"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.find("done|\n") + 6), "0\n2 1\n2 0\n2 0\n2 1\n2 0\n2 0\n");
}

// Under strace: with the standard descriptors closed, no file of the program's may take one of
// their places (a message meant for the console would land in it); outputs are on disk before
// they are renamed; and a read or an open of the input that fails, in the probe or in a copy,
// is reported.
TEST_F(Cli, UnderStraceKeepsOffClosedDescriptorsAndReportsFailures) {
    if (!Have("strace -f -o /dev/null true")) GTEST_SKIP() << "needs strace, allowed to trace";
    const Bytes take = StereoWav(16, 8000, 100), samples = StereoSamples(16, 0, 100);
    Put("take.wav", take);
    // LeakSanitizer can't run under a tracer.
    const std::string strace = "ASAN_OPTIONS=detect_leaks=0 strace -f -o ",
                      bin = Quote(QUENLOR_BIN);
    const std::string trace = Quote(dir.string() + ".trace");
    std::string out;
    // Its "done" can't be written: the split is made, and the status says so.
    EXPECT_EQ(
        Shell(strace + trace + " -e trace=open,openat " + bin + " take.wav <&- >&- 2>&-", "", &out),
        2);
    EXPECT_EQ(Get("takeR.wav").size(), 44u + 200);
    // The lowest descriptor any open of its files gave.
    Shell("grep take " + trace + " | sed 's/.*= //' | sort -n | head -1; rm " + trace, "", &out);
    EXPECT_GE(std::atoi(out.c_str()), 3) << out;
    // Each output, data and mode, is flushed before the turn; what the turn will do is in its lock
    // and on disk, the lock's name too, before the previous pair is moved aside and the new one
    // renamed in; the folder after them.
    EXPECT_EQ(Shell(strace + trace + " -e trace=fdatasync,fsync,rename,renameat,renameat2 " + bin +
                        " take.wav",
                    "", &out),
              0);
    Shell("sed -n 's/^[0-9]* *\\(rename\\|f[a-z]*sync\\).*(.*/\\1/p' " + trace +
              " | tr '\\n' ' '; rm " + trace,
          "", &out);
    EXPECT_EQ(out, "fsync fsync fsync fsync rename rename rename rename fsync ");
    // The probe reads the file's start in two reads; the copies read and open it after that.
    const std::pair<std::string, std::string> faults[] = {
        {"read:error=EIO:when=1", "Unable to read file.\n"},
        {"read:error=EIO:when=3", "Unable to read file.\n"},
        {"openat:error=EACCES:when=2", "Unable to open file.\n"},
        // The probe's own look and the stream's two come first.
        {"newfstatat:error=EIO:when=4+", "Unable to read file.\n"}};
    for (const auto& [fault, message] : faults) {
        EXPECT_EQ(
            Shell(strace + "/dev/null -P take.wav -e trace=read,openat,newfstatat -e inject=" +
                      fault + " " + bin + " take.wav",
                  "", &out),
            2)
            << fault;
        EXPECT_EQ(out, message) << fault;
    }
    // A folder's flush that fails puts the previous pair back, as does a signal that comes as
    // the new left output is renamed in; a signal while a failing run (past its file size
    // limit) removes its temporaries, at each close, leaves none behind.
    for (const std::string fault :
         {"fsync:error=EIO:when=5", "rename:signal=SIGINT:when=1", "close:signal=SIGINT:when=4",
          "close:signal=SIGINT:when=8", "close:signal=SIGINT:when=11"}) {
        Put("takeL.wav", Bytes(10, 'L'));
        Put("takeR.wav", Bytes(10, 'R'));
        Shell(std::string(fault[0] != 'c' ? "" : "ulimit -f 8; ") + strace +
                  "/dev/null -e inject=" + fault + " " + bin + " take.wav",
              "", &out);
        EXPECT_EQ(Files(), (std::set<std::string>{"take.wav", "takeL.wav", "takeR.wav"})) << fault;
        EXPECT_EQ(Get("takeL.wav"), Bytes(10, 'L')) << fault;
        EXPECT_EQ(Get("takeR.wav"), Bytes(10, 'R')) << fault;
    }
    EXPECT_EQ(out, "");  // ended by the signal
    // 32 MiB a channel go in steps, each flushed in the background (taken by the kernel): a
    // failed wait for one, at a copy's end or in it, fails the run; without such flushes a step
    // is written back and waited for, and a failure there (not a missing call) fails it too.
    const Bytes big = StereoWav(16, 48000, 1 << 24), big_samples(big.begin() + 44, big.end());
    Put("big.wav", big);
    Put("expectL", MonoWav(16, 48000, big_samples, 0));
    Put("expectR", MonoWav(16, 48000, big_samples, 1));
    const std::string no_aio = "io_setup:error=ENOSYS -e inject=sync_file_range:error=",
                      check =
                          "; echo $? $(cmp -s bigL.wav expectL && cmp -s bigR.wav expectR && "
                          "echo new || cat bigL.wav bigR.wav) $(grep -q 'FDSYNC.* = 1$' " +
                          trace + " && ! grep -q ' = -' " + trace + " && echo flushed); rm " +
                          trace;
    const std::string big_faults[] = {"", "io_getevents:error=EINVAL",
                                      "io_getevents:error=EINVAL:when=2", no_aio + "ENOSPC",
                                      no_aio + "EINVAL"};
    for (const std::string& fault : big_faults) {
        const bool done = fault.empty() || fault == no_aio + "EINVAL";
        Shell("printf LLLLLLLLLL >bigL.wav; printf RRRRRRRRRR >bigR.wav; " + strace + trace +
                  " -e trace=io_setup,io_submit,io_getevents,sync_file_range " +
                  (fault.empty() ? "" : "-e inject=" + fault) + " " + bin + " big.wav" + check,
              "", &out);
        EXPECT_EQ(out, (done ? "done\n0 new" : "Unable to write file.\n2 LLLLLLLLLLRRRRRRRRRR") +
                           std::string(fault.empty() ? " flushed\n" : "\n"))
            << fault;
        EXPECT_EQ(Files().size(), 8u) << fault;
    }
}

}  // namespace
