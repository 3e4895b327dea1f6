// The iXML reader's verdict on well-formedness, held to a real XML parser's (expat) on documents
// written to meet each rule and on many mutations of a recorder's document.
#include <expat.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "wav/wav.h"

namespace {

bool ExpatWellFormed(const std::string& xml) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    const bool ok = XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(parser);
    return ok;
}

// Where the reader differs by choice, the verdicts are not compared: a document type is refused
// (its entities could stand for anything), NULs after the document are the chunk's padding, and an
// encoding expat doesn't know is read as 8-bit.
bool Comparable(const std::string& xml) {
    if (xml.find("<!DOCTYPE") != std::string::npos || (!xml.empty() && xml.back() == '\0')) {
        return false;
    }
    const size_t declared = xml.find("encoding"), end = xml.find("?>");
    if (xml.compare(0, 5, "<?xml") != 0 || declared == std::string::npos || declared > end) {
        return true;
    }
    const size_t quote = xml.find_first_of("\"'", declared);
    if (quote == std::string::npos) return true;
    const std::string name = xml.substr(quote + 1, xml.find(xml[quote], quote + 1) - quote - 1);
    for (const char* known :
         {"UTF-8", "utf-8", "US-ASCII", "us-ascii", "ISO-8859-1", "iso-8859-1"}) {
        if (name == known) return true;
    }
    return false;
}

const char* const RECORDER =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<BWFXML>\r\n<IXML_VERSION>1.61</IXML_VERSION>"
    "\r\n<PROJECT>Dock</PROJECT><SCENE>A101</SCENE><TAKE>1</TAKE><NOTE>wind &amp; rain, "
    "&#xE9;t&#233; <![CDATA[a <b> & c]]></NOTE><!-- mics --><?rec x=\"1\"?>\r\n<FILE_UID>SDV1"
    "</FILE_UID><TRACK_LIST><TRACK_COUNT>2</TRACK_COUNT><TRACK><CHANNEL_INDEX>1</CHANNEL_INDEX>"
    "<INTERLEAVE_INDEX>1</INTERLEAVE_INDEX><NAME>MKH516 A</NAME></TRACK><TRACK><CHANNEL_INDEX>2"
    "</CHANNEL_INDEX><INTERLEAVE_INDEX>2</INTERLEAVE_INDEX><NAME>Boom \xC3\xA9</NAME></TRACK>"
    "</TRACK_LIST><USER a='1' b=\"x&gt;y\"/><i:X xmlns:i='u'/></BWFXML>\r\n";

}  // namespace

TEST(Xml, WellFormedAsExpatJudgesOnWrittenFormsAndMutations) {
    const std::string forms[] = {
        RECORDER,
        "<a/>",
        "<a b='1' b='2'/>",
        "<a><?xml version='1.0'?></a>",
        " <?xml version='1.0'?><a/>",
        "<?xml version='1.0' standalone='maybe'?><a/>",
        "<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9</a>",
        "<?xml version='1.0' encoding='US-ASCII'?><a>\xE9</a>",
        "<a><!-- x -- y --></a>",
        "<a><!-- x ---></a>",
        "<a>]]></a>",
        "<a b=']]>'/>",
        "<a><? ?></a>",
        "<a><?XmL x?></a>",
        "<a><?xml-stylesheet x?></a>",
        "<a>\x01</a>",
        "<a>\xE9\xC0\xAF</a>",
        "<a>\xED\xA0\x80</a>",
        "<a>\xEF\xBF\xBE</a>",
        "<a>\xF4\x80\x80\x80</a>",
        "<a>\xF4\x90\x80\x80</a>",
        "<a>&#0;&#x41;</a>",
        "<a>&#x000000041;&#65;</a>",
        "<a>&#xD800;</a>",
        "<a>&amp</a>",
        "<a b=\"<\"/>",
        "<a><![CDATA[x]]></a><!-- after --> <?pi?>",
        "<a></a><![CDATA[x]]>",
        "<a\xC3\xA9/>",
        "<a b='1'c='2'/>",
        "<a></a >",
        "<a></ a>",
        "<1a/>",
        "<a:b:c/>",
    };
    for (const std::string& xml : forms) {
        EXPECT_EQ(WellFormedXml(xml.data(), xml.size()), ExpatWellFormed(xml)) << xml;
    }
    // Each mutation a few bytes put in, taken out or replaced, from the bytes XML's rules turn on.
    const std::string bytes = "<>&;-]?!\"'=/ #:[x1\x01\x7F\xC3\xA9\xE9\t";
    std::mt19937 random(49);
    int compared = 0, differ = 0;
    for (int k = 0; k < 50000; ++k) {
        std::string xml = RECORDER;
        for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
            const size_t at = random() % xml.size();
            const std::string one(1, bytes[random() % bytes.size()]);
            switch (random() % 3) {
                case 0:
                    xml.insert(at, one);
                    break;
                case 1:
                    xml.erase(at, 1);
                    break;
                default:
                    xml.replace(at, 1, one);
            }
        }
        if (!Comparable(xml)) continue;
        ++compared;
        if (WellFormedXml(xml.data(), xml.size()) != ExpatWellFormed(xml) && ++differ <= 10) {
            ADD_FAILURE() << "expat " << ExpatWellFormed(xml) << ": " << xml;
        }
    }
    EXPECT_EQ(differ, 0) << "of " << compared;
}
