#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "driver.h"
#include "extract/extract.h"
#include "wav/wav.h"
#include "wavgen.h"

TEST(Names, StayBesideTheInputAndTakeTheFirstRunOfNonDots) {
    const char* const cases[][2] = {{"take1.wav", "take1"},
                                    {"a.b.c", "a"},
                                    {"take1", "take1"},
                                    {"song.mp3", "song"},
                                    {"..wav", "wav"},
                                    {"./take1.wav", "./take1"},
                                    {"../v1.2/take.wav", "../v1.2/take"},
                                    {"/data/.hidden.wav", "/data/hidden"},
                                    {"x", "x"},
#ifdef _WIN32  // a backslash and a drive prefix end the folder part, as a slash does
                                    {"v1.2\\take.wav", "v1.2\\take"},
                                    {".\\take.wav", ".\\take"},
                                    {"C:take.wav", "C:take"}};
#else  // they are just characters of the name
                                    {"v1.2\\take.wav", "v1"},
                                    {"C:take.wav", "C:take"}};
#endif
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
        {44 + 6 * 11 + 5, 24, 48000, 11},                     // an odd length: the pad byte counts
        {40, 16, 8000, 0},                                    // the file stops inside the data tag
        {44 + 4LL * 2147483629 + 3, 16, 44100, 2147483629u},  // the largest 16-bit output
        {44 + 6LL * 1431655752, 24, 192000, 1431655752u}};
    for (const auto& [length, bits, rate, expected] : cases) {
        uint32_t frames = 7;
        FRAME_COUNT(length, 44, 2, bits / 8, 0, &frames);
        EXPECT_EQ(frames, expected) << length;
        unsigned char h[HEADER_SIZE];
        HeaderBytes(rate, bits, frames, h);
        EXPECT_EQ(Bytes(h, h + HEADER_SIZE), WavHeader(bits, 1, rate, uint64_t{frames} * bits / 8))
            << bits << "-bit, " << frames << " frames";
    }
    uint32_t frames = 0;
    EXPECT_EXIT(FRAME_COUNT(44 + 4LL * 2147483630, 44, 2, 2, 0, &frames),
                testing::ExitedWithCode(1), "");
    EXPECT_EXIT(FRAME_COUNT(44 + 6LL * 1431655753, 44, 2, 3, 0, &frames),
                testing::ExitedWithCode(1), "");
}

// Both 24-bit gathers, on every build: the shuffled one (where the processor has it) and the
// portable one, around the shuffle's step of 8 frames, a block's size and a tail, both channels.
// iXML is read as XML (each form XML forbids is held to expat in xml_test.cpp): what is not well
// formed, or declares a document type, is refused; what is (attributes with '>' in quotes,
// references, another encoding) is changed for each channel only where the split changes the
// facts: its own FILE_UID and name, the set of two and the parent added last in the root, with the
// root's prefix; names that are no UTF-8 still make well-formed XML.
TEST(Ixml, IsReadAsXmlAndChangedOnlyWhereTheSplitChangesTheFacts) {
    const std::string track =
        "<FILE_UID>&#x55;<![CDATA[1]]><!-- x > y --></FILE_UID><TRACK_LIST><TRACK><NAME>a</NAME>"
        "</TRACK><TRACK/></TRACK_LIST>";
    const std::vector<std::string> own = {"t\x01L.wav", "t\xE9R.wav"}, none(2);
    std::string deep;
    for (int k = 0; k <= 1024; ++k) deep += "<a>";
    const std::pair<std::string, IxmlVerdict> rows[] = {
        {"<BWFXML a='x>y' b=\"&#x41;&lt;\">" + track + "</BWFXML>\n" + std::string(2, '\0'),
         IXML_WHOLE},
        {"<?xml version=\"1.0\"?><!-- <BWFXML> --><BWFXML>" + track + "</BWFXML>", IXML_WHOLE},
        {"<?xml version='1.0' encoding='ISO-8859-1'?><BWFXML>\xE9<?pi x?>" + track + "</BWFXML>",
         IXML_WHOLE},
        {"<?xml version='1.0'?>\n<!DOCTYPE BWFXML SYSTEM 'i[x]ml.dtd'><BWFXML>" + track +
             "</BWFXML>",
         IXML_WHOLE},
        {"<!DOCTYPE BWFXML [<!ENTITY e 'x'>]><BWFXML>" + track + "</BWFXML>", IXML_DECLARES},
        {"<BWFXML>" + track + "</bwfxml>", IXML_NOT_XML},
        {"<BWFXML>&nbsp;" + track + "</BWFXML>", IXML_NOT_XML},
        {"<BWFXML>" + track + "</BWFXML><X/>", IXML_NOT_XML},
        {"x<BWFXML>" + track + "</BWFXML>", IXML_NOT_XML},
        {"<BWFXML a=x>" + track + "</BWFXML>", IXML_NOT_XML},
        {"<BWFXML>" + track + "<![CDATA[x]]</BWFXML>", IXML_NOT_XML},
        {"<BWFXML>" + track + "<!ENTITY e 'x'></BWFXML>", IXML_NOT_XML},
        {"<BWFXML><!DOCTYPE x>" + track + "</BWFXML>", IXML_NOT_XML},
        {"<?xml version='1.0' encoding='UTF-16'?><BWFXML>" + track + "</BWFXML>", IXML_NOT_XML},
        {deep, IXML_TOO_DEEP},
    };
    for (const auto& [xml, verdict] : rows) {
        std::vector<std::string> out(2);
        EXPECT_EQ(IxmlOfChannels(xml.data(), xml.size(), "t&.wav", own, "K", none, &out), verdict)
            << xml;
        if (verdict != IXML_WHOLE) continue;
        EXPECT_TRUE(WellFormedXml(out[0].data(), out[0].size()) &&
                    WellFormedXml(out[1].data(), out[1].size()))
            << out[0];
        EXPECT_NE(out[0].find("<NAME>a</NAME>"), std::string::npos) << out[0];
        EXPECT_EQ(out[1].find("<NAME>a</NAME>"), std::string::npos) << out[1];
        const bool utf8 = xml.find("8859") == std::string::npos;
        const std::string tail = "<FAMILY_UID>" + UidOf("U1\nfamily") +
                                 "</FAMILY_UID><FILE_SET_INDEX>1</FILE_SET_INDEX>"
                                 "</FILE_SET><HISTORY><PARENT_FILENAME>t&amp;.wav</PARENT_FILENAME>"
                                 "<PARENT_UID>U1</PARENT_UID><CURRENT_FILENAME>t" +
                                 std::string(utf8 ? "\xEF\xBF\xBD" : "&#xFFFD;") +
                                 "L.wav</CURRENT_FILENAME></HISTORY></BWFXML>";
        EXPECT_NE(out[0].find(tail), std::string::npos) << out[0];
        const size_t uid = xml.find("<FILE_UID>") + 10;
        EXPECT_EQ(out[0].substr(0, uid), xml.substr(0, uid));
        EXPECT_NE(out[0].substr(uid, 32), out[1].substr(uid, 32));
    }
    // A prefixed document is read by its local names; what is added takes the prefix, and the
    // indent of its parent's first child.
    const std::string prefixed =
        "<i:BWFXML xmlns:i='u'>\n <i:TRACK_LIST><i:TRACK_COUNT>2</i:TRACK_COUNT><i:TRACK>"
        "<i:INTERLEAVE_INDEX>2</i:INTERLEAVE_INDEX><i:NAME>b</i:NAME></i:TRACK><i:TRACK>"
        "<i:INTERLEAVE_INDEX>1</i:INTERLEAVE_INDEX><i:NAME>a</i:NAME></i:TRACK></i:TRACK_LIST>"
        "<i:HISTORY><i:CURRENT_FILENAME>t.wav</i:CURRENT_FILENAME></i:HISTORY>\n</i:BWFXML>";
    std::vector<std::string> out(2);
    ASSERT_EQ(IxmlOfChannels(prefixed.data(), prefixed.size(), "t.wav", own, "K", none, &out),
              IXML_WHOLE);
    EXPECT_EQ(
        out[1],
        "<i:BWFXML xmlns:i='u'>\n <i:TRACK_LIST><i:TRACK_COUNT>1</i:TRACK_COUNT><i:TRACK>"
        "<i:INTERLEAVE_INDEX>1</i:INTERLEAVE_INDEX><i:NAME>b</i:NAME></i:TRACK>"
        "</i:TRACK_LIST><i:HISTORY><i:CURRENT_FILENAME>t\xEF\xBF\xBDR.wav"
        "</i:CURRENT_FILENAME><i:PARENT_FILENAME>t.wav</i:PARENT_FILENAME></i:HISTORY>\n "
        "<i:FILE_UID>" +
            UidOf("K\nright") +
            "</i:FILE_UID>\n <i:FILE_SET><i:TOTAL_FILES>2</i:TOTAL_FILES><i:FAMILY_UID>" +
            UidOf("K\nfamily") +
            "</i:FAMILY_UID><i:FILE_SET_INDEX>2</i:FILE_SET_INDEX></i:FILE_SET>\n</i:BWFXML>");
}

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

// The copies' digest, over a block and a last partial one as a copy reads them, on any processor
// and with the widest vectors: one byte changed anywhere (every byte is tried), two words swapped,
// or a word moved changes it; so do +1 and -1 in the top bytes of two 8-byte words 16 KiB apart
// (a left sample's middle byte and a right sample's top byte at 24 bits), which cancel in sums of
// 64-bit words modulo 2^64.
TEST(Digest, ChangesWithAnyByteOrOrder) {
    const auto digest = [](const Bytes& bytes) {
        Digest d{}, portable{};
        DigestBytes(bytes.data(), 4096, &d);
        DigestBytes(bytes.data() + 4096, bytes.size() - 4096, &d);
        DigestBytesPortable(bytes.data(), 4096, &portable);
        DigestBytesPortable(bytes.data() + 4096, bytes.size() - 4096, &portable);
        EXPECT_EQ(std::memcmp(&d, &portable, sizeof d), 0);
        std::vector<uint64_t> words(d.a, d.a + DIGEST_LANES);
        words.insert(words.end(), d.b, d.b + DIGEST_LANES);
        return words;
    };
    for (uint32_t bits : {24u, 16u}) {
        Bytes samples = StereoSamples(bits, 0, 5000);  // past 16 KiB, not a whole step at the end
        samples[7] = samples[7 + 16384] = 0x10;
        const auto same = digest(samples);
        for (size_t at = 0; at < (bits == 24 ? samples.size() : 0); ++at) {
            Bytes changed = samples;
            changed[at] ^= 0x01;
            EXPECT_NE(digest(changed), same) << at;
        }
        Bytes swapped = samples, moved = samples, cancelled = samples;
        for (size_t k = 0; k < 8; ++k) std::swap(swapped[k], swapped[64 + k]);
        std::rotate(moved.begin() + 64, moved.begin() + 68, moved.begin() + 132);
        ++cancelled[7], --cancelled[7 + 16384];
        EXPECT_TRUE(digest(swapped) != same && digest(moved) != same && digest(cancelled) != same)
            << bits;
    }
}
