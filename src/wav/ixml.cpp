// iXML for each channel: the chunk read once as XML, then written for each output, changed only
// where the split changes the facts.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "wav/wav.h"

namespace {

// Bounds that keep a hostile document's reading small. A wave file has at most 65,535 channels,
// so a longer track list describes none; no recorder nests elements or piles up attributes so.
constexpr size_t MAX_TRACKS = 65535, MAX_KEPT = 2 * MAX_TRACKS + 1024, MAX_DEPTH = 1024;
constexpr size_t MAX_ATTRIBUTES = 256;

// How the document's bytes stand for characters: UTF-8 (the default), US-ASCII, ISO-8859-1, or
// another 8-bit encoding whose bytes above 127 are taken as they are.
enum class Encoding { UTF8, ASCII, LATIN1, BYTES };

// One element the edits may need: where its name stands, the place of its start tag's '<', of
// the first byte after that tag, of its end tag's '<' and of the first byte after it (the last
// three equal for an empty-element tag), its parent (-1 for the root) and depth.
struct Element {
    uint32_t name, name_len, open, body, close, end;  // a chunk's body is less than 4 GiB
    int32_t parent, depth;
    bool empty;
};

// The document: its bytes up to the NULs recorders pad the chunk with, its encoding, and the
// elements kept, in document order: the root, and on the paths the edits follow (TRACK_LIST,
// TRACK, INTERLEAVE_INDEX, FILE_SET, HISTORY...) each parent's first child and the children named.
struct Document {
    const char* x;
    size_t size;
    Encoding encoding;
    std::vector<Element> el;
};

bool Starts(const Document& d, size_t at, const char* text) {
    const size_t n = std::strlen(text);
    return at <= d.size && d.size - at >= n && std::memcmp(d.x + at, text, n) == 0;
}

size_t Find(const Document& d, size_t at, const char* text) {
    const std::string_view view(d.x, d.size);
    return at > d.size ? std::string_view::npos : view.find(text, at);
}

bool Space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool XmlChar(uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Decodes one UTF-8 character of p[0, n); false for a malformed, overlong or surrogate sequence.
bool DecodeUtf8(const unsigned char* p, size_t n, uint32_t* c, size_t* len) {
    const unsigned char b = p[0];
    *len = b < 0x80                 ? 1
           : b >= 0xC2 && b <= 0xDF ? 2
           : b >= 0xE0 && b <= 0xEF ? 3
           : b >= 0xF0 && b <= 0xF4 ? 4
                                    : 0;
    if (*len == 0 || *len > n) return false;
    *c = *len == 1 ? b : b & (0x7F >> *len);
    for (size_t k = 1; k < *len; ++k) {
        if ((p[k] & 0xC0) != 0x80) return false;
        *c = *c << 6 | (p[k] & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    return *c >= least[*len] && *c <= 0x10FFFF && !(*c >= 0xD800 && *c <= 0xDFFF);
}

// The character at d.x[at], and its length in bytes; false when the bytes are none.
bool CharAt(const Document& d, size_t at, uint32_t* c, size_t* len) {
    const unsigned char b = static_cast<unsigned char>(d.x[at]);
    if (b < 0x80 || d.encoding == Encoding::LATIN1 || d.encoding == Encoding::BYTES) {
        return *c = b, *len = 1, true;
    }
    if (d.encoding == Encoding::ASCII) return false;
    return DecodeUtf8(reinterpret_cast<const unsigned char*>(d.x) + at, d.size - at, c, len);
}

bool NameChar(uint32_t c, bool first) {
    const uint32_t starts[][2] = {
        {':', ':'},       {'A', 'Z'},       {'_', '_'},       {'a', 'z'},
        {0xC0, 0xD6},     {0xD8, 0xF6},     {0xF8, 0x2FF},    {0x370, 0x37D},
        {0x37F, 0x1FFF},  {0x200C, 0x200D}, {0x2070, 0x218F}, {0x2C00, 0x2FEF},
        {0x3001, 0xD7FF}, {0xF900, 0xFDCF}, {0xFDF0, 0xFFFD}, {0x10000, 0xEFFFF}};
    const uint32_t more[][2] = {
        {'-', '.'}, {'0', '9'}, {0xB7, 0xB7}, {0x300, 0x36F}, {0x203F, 0x2040}};
    for (const auto& r : starts) {
        if (c >= r[0] && c <= r[1]) return true;
    }
    for (const auto& r : more) {
        if (!first && c >= r[0] && c <= r[1]) return true;
    }
    return false;
}

// Reads the name at *at; false when none stands there.
bool ReadName(const Document& d, size_t* at) {
    const size_t from = *at;
    uint32_t c = 0;
    size_t len = 0;
    while (*at < d.size && CharAt(d, *at, &c, &len) && NameChar(c, *at == from)) *at += len;
    return *at > from;
}

void SkipSpace(const Document& d, size_t* at) {
    while (*at < d.size && Space(d.x[*at])) ++*at;
}

// Appends the UTF-8 of character c.
void PutUtf8(uint32_t c, std::string* out) {
    const auto byte = [&](uint32_t v) { out->push_back(static_cast<char>(v)); };
    if (c < 0x80) {
        byte(c);
    } else if (c < 0x800) {
        byte(0xC0 | c >> 6), byte(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        byte(0xE0 | c >> 12), byte(0x80 | (c >> 6 & 0x3F)), byte(0x80 | (c & 0x3F));
    } else {
        byte(0xF0 | c >> 18), byte(0x80 | (c >> 12 & 0x3F)), byte(0x80 | (c >> 6 & 0x3F));
        byte(0x80 | (c & 0x3F));
    }
}

// The character a reference at x[at] ('&') stands for, as UTF-8, and where it ends; false when it
// is none of the predefined entities or a character reference to a character XML holds.
bool Reference(const Document& d, size_t at, std::string* text, size_t* end) {
    size_t k = at + 1;
    if (k < d.size && d.x[k] == '#') {
        const bool hex = k + 1 < d.size && d.x[k + 1] == 'x';
        uint32_t code = 0;
        const size_t digits = k += hex ? 2 : 1;
        for (; k < d.size && std::isxdigit(static_cast<unsigned char>(d.x[k])) &&
               (hex || std::isdigit(static_cast<unsigned char>(d.x[k])));
             ++k) {
            const int digit = std::isdigit(static_cast<unsigned char>(d.x[k]))
                                  ? d.x[k] - '0'
                                  : std::tolower(static_cast<unsigned char>(d.x[k])) - 'a' + 10;
            code =
                std::min<uint32_t>(code * (hex ? 16 : 10) + static_cast<uint32_t>(digit), 0x110000);
        }
        if (k == digits || k >= d.size || d.x[k] != ';' || !XmlChar(code)) return false;
        text->clear();
        PutUtf8(code, text);
        return *end = k + 1, true;
    }
    const char* const names[] = {"amp;", "lt;", "gt;", "quot;", "apos;"};
    const char* const chars[] = {"&", "<", ">", "\"", "'"};
    for (int n = 0; n < 5; ++n) {
        if (Starts(d, k, names[n])) return *text = chars[n], *end = k + std::strlen(names[n]), true;
    }
    return false;
}

// Whether x[from, to) is character data: no '<', every '&' a reference, and no "]]>" in text.
bool CharacterData(const Document& d, size_t from, size_t to, bool in_value) {
    std::string text;
    for (size_t at = from, end = 0; at < to;) {
        if (d.x[at] == '<') return false;
        if (!in_value && d.x[at] == ']' && Starts(d, at, "]]>") && at + 3 <= to) return false;
        if (d.x[at] != '&') {
            ++at;
            continue;
        }
        if (!Reference(d, at, &text, &end) || end > to) return false;
        at = end;
    }
    return true;
}

// Reads "= value" at *at (white space allowed around '='), the value in single or double quotes:
// sets [*from, *to) to the value and *at past its closing quote; false when none stands there.
bool ReadValue(const Document& d, size_t* at, size_t* from, size_t* to) {
    SkipSpace(d, at);
    if (!Starts(d, *at, "=")) return false;
    ++*at;
    SkipSpace(d, at);
    if (*at >= d.size || (d.x[*at] != '"' && d.x[*at] != '\'')) return false;
    const char quote[2] = {d.x[*at], '\0'};
    *from = *at + 1;
    *to = Find(d, *from, quote);
    if (*to == std::string::npos) return false;
    *at = *to + 1;
    return true;
}

// Reads a start tag's attributes from *at up to '>' or "/>"; false when they are not well formed
// (one named twice among them), or more than MAX_ATTRIBUTES (with many set).
bool ReadAttributes(const Document& d, size_t* at, bool* empty, bool* many) {
    std::vector<std::string_view> names;
    for (;;) {
        const size_t before = *at;
        SkipSpace(d, at);
        if (Starts(d, *at, "/>")) return *at += 2, *empty = true, true;
        if (Starts(d, *at, ">")) return *at += 1, *empty = false, true;
        const size_t name = *at;
        if (*at == before || !ReadName(d, at)) return false;
        const std::string_view named(d.x + name, *at - name);
        if (names.size() == MAX_ATTRIBUTES) return *many = true, false;
        if (std::find(names.begin(), names.end(), named) != names.end()) return false;
        names.push_back(named);
        size_t from = 0, to = 0;
        if (!ReadValue(d, at, &from, &to) || !CharacterData(d, from, to, true)) return false;
    }
}

std::string_view NameOf(const Document& d, const Element& e) {
    return {d.x + e.name, e.name_len};
}

// A name without its namespace prefix.
std::string_view Local(std::string_view name) {
    const size_t colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

// The fields of iXML's copy of the bext chunk, in the chunk's order: those mirrored, then the
// loudness, which is left out (not given).
const char* const BEXT_FIELDS[] = {"BWF_DESCRIPTION",
                                   "BWF_ORIGINATOR",
                                   "BWF_ORIGINATOR_REFERENCE",
                                   "BWF_ORIGINATION_DATE",
                                   "BWF_ORIGINATION_TIME",
                                   "BWF_TIME_REFERENCE_LOW",
                                   "BWF_TIME_REFERENCE_HIGH",
                                   "BWF_VERSION",
                                   "BWF_UMID",
                                   "BWF_CODING_HISTORY",
                                   "BWF_LOUDNESS_VALUE",
                                   "BWF_LOUDNESS_RANGE",
                                   "BWF_MAX_TRUE_PEAK_LEVEL",
                                   "BWF_MAX_MOMENTARY_LOUDNESS",
                                   "BWF_MAX_SHORT_TERM_LOUDNESS"};
constexpr size_t BEXT_MIRRORED = 10;

// Whether an element named name, a child of parent (the first one when first), is kept: the
// edits look at these, or indent what they add as the first child is.
bool Wanted(const Document& d, const Element& parent, std::string_view name, bool first) {
    const std::string_view p = Local(NameOf(d, parent));
    const auto among = [&](std::initializer_list<const char*> names) {
        for (const char* n : names) {
            if (Local(name) == n) return true;
        }
        return false;
    };
    if (parent.depth == 0) {
        return first ||
               among({"TRACK_LIST", "FILE_UID", "FILE_SET", "HISTORY", "CURRENT_FILENAME", "BEXT"});
    }
    if (parent.depth == 1 && p == "TRACK_LIST") return first || among({"TRACK", "TRACK_COUNT"});
    if (parent.depth == 1 && p == "FILE_SET") {
        return first || among({"TOTAL_FILES", "FAMILY_UID", "FILE_SET_INDEX"});
    }
    if (parent.depth == 1 && p == "HISTORY") {
        return first || among({"PARENT_FILENAME", "PARENT_UID", "CURRENT_FILENAME"});
    }
    if (parent.depth == 1 && p == "BEXT") {
        return first || std::any_of(std::begin(BEXT_FIELDS), std::end(BEXT_FIELDS),
                                    [&](const char* n) { return Local(name) == n; });
    }
    return parent.depth == 2 && p == "TRACK" && among({"INTERLEAVE_INDEX", "CHANNEL_INDEX"});
}

// Reads the XML declaration at the document's start, if it has one, into the encoding; false
// when it is not well formed.
bool ReadDeclaration(Document* d, size_t* at) {
    d->encoding = Encoding::UTF8;
    if (!Starts(*d, *at, "<?xml") || *at + 5 >= d->size || !Space(d->x[*at + 5])) return true;
    *at += 5;
    const auto pseudo = [&](const char* name, std::string* value) {
        const size_t before = *at;
        SkipSpace(*d, at);
        if (*at == before || !Starts(*d, *at, name)) return *at = before, false;
        *at += std::strlen(name);
        size_t from = 0, to = 0;
        if (!ReadValue(*d, at, &from, &to)) return false;
        *value = std::string(d->x + from, to - from);
        return true;
    };
    std::string version, encoding, standalone;
    // Any version number made of name characters is read, as common parsers read it.
    if (!pseudo("version", &version) || version.empty() ||
        version.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                                  "._-") != std::string::npos) {
        return false;
    }
    if (pseudo("encoding", &encoding)) {
        std::string upper;
        for (const char c : encoding) upper += static_cast<char>(std::toupper(c));
        if (upper.empty() || !std::isalpha(static_cast<unsigned char>(upper[0])) ||
            upper.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") !=
                std::string::npos ||
            upper.compare(0, 6, "UTF-16") == 0 || upper.compare(0, 6, "UTF-32") == 0) {
            return false;
        }
        d->encoding = upper == "UTF-8"        ? Encoding::UTF8
                      : upper == "US-ASCII"   ? Encoding::ASCII
                      : upper == "ISO-8859-1" ? Encoding::LATIN1
                                              : Encoding::BYTES;
    }
    if (pseudo("standalone", &standalone) && standalone != "yes" && standalone != "no") {
        return false;
    }
    SkipSpace(*d, at);
    if (!Starts(*d, *at, "?>")) return false;
    *at += 2;
    return true;
}

// Reads a document type declaration at *at, before the root: its name, then an external
// identifier if any, in quoted literals. IXML_DECLARES when it has an internal subset (whose
// entities could stand for anything, and whose attribute defaults would change what is read).
IxmlVerdict ReadDocumentType(const Document& d, size_t* at) {
    size_t end = *at + 9;
    if (end >= d.size || !Space(d.x[end])) return IXML_NOT_XML;
    SkipSpace(d, &end);
    if (!ReadName(d, &end)) return IXML_NOT_XML;
    for (char quote = 0; end < d.size; ++end) {
        const char c = d.x[end];
        if (quote != 0) {
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '[') {
            return IXML_DECLARES;
        } else if (c == '>') {
            *at = end + 1;
            return IXML_WHOLE;
        }
    }
    return IXML_NOT_XML;
}

// Reads d as an XML document, keeping the elements the edits need; IXML_WHOLE when it is well
// formed, within the bounds above, and declares no entities of its own.
IxmlVerdict ReadXml(Document* d) {
    if (d->size > UINT32_MAX) return IXML_TOO_DEEP;
    size_t at = Starts(*d, 0, "\xEF\xBB\xBF") ? 3 : 0;
    if (!ReadDeclaration(d, &at)) return IXML_NOT_XML;
    for (size_t k = 0, len = 0; k < d->size; k += len) {
        uint32_t c = 0;
        if (!CharAt(*d, k, &c, &len) || !XmlChar(c)) return IXML_NOT_XML;
    }
    // Each open element: where its name stands, its place among the kept (-1 when not kept), and
    // whether a child came yet.
    struct Open {
        size_t name, name_len;
        int kept;
        bool parent;
    };
    std::vector<Open> open;
    size_t tracks = 0;
    bool ended = false, typed = false;
    while (at < d->size) {
        const size_t tag = std::min(Find(*d, at, "<"), d->size);
        if (open.empty() ? std::any_of(d->x + at, d->x + tag, [](char c) { return !Space(c); })
                         : !CharacterData(*d, at, tag, false)) {
            return IXML_NOT_XML;
        }
        if ((at = tag) >= d->size) break;
        const auto past = [&](const char* end, size_t from) {
            const size_t found = Find(*d, from, end);
            return found == std::string::npos ? found : found + std::strlen(end);
        };
        if (Starts(*d, at, "<?")) {
            size_t end = at + 2;
            if (!ReadName(*d, &end)) return IXML_NOT_XML;
            std::string target(d->x + at + 2, end - at - 2);
            for (char& c : target) c = static_cast<char>(std::tolower(c));
            if (target == "xml" ||
                (!Starts(*d, end, "?>") && (end >= d->size || !Space(d->x[end])))) {
                return IXML_NOT_XML;
            }
            at = past("?>", end);
        } else if (Starts(*d, at, "<!--")) {
            const size_t end = Find(*d, at + 4, "-->");
            if (end == std::string::npos || Find(*d, at + 4, "--") != end) return IXML_NOT_XML;
            at = end + 3;
        } else if (Starts(*d, at, "<![CDATA[")) {
            if (open.empty()) return IXML_NOT_XML;
            at = past("]]>", at + 9);
        } else if (Starts(*d, at, "<!DOCTYPE") && !typed && d->el.empty()) {
            typed = true;
            const IxmlVerdict verdict = ReadDocumentType(*d, &at);
            if (verdict != IXML_WHOLE) return verdict;
        } else if (Starts(*d, at, "<!")) {
            return IXML_NOT_XML;  // another declaration, or one out of place
        } else if (Starts(*d, at, "</")) {
            size_t end = at + 2;
            if (open.empty() || !ReadName(*d, &end)) return IXML_NOT_XML;
            const Open& o = open.back();
            if (std::string_view(d->x + at + 2, end - at - 2) !=
                std::string_view(d->x + o.name, o.name_len)) {
                return IXML_NOT_XML;
            }
            SkipSpace(*d, &end);
            if (!Starts(*d, end, ">")) return IXML_NOT_XML;
            if (o.kept >= 0) {
                Element& e = d->el[static_cast<size_t>(o.kept)];
                e.close = static_cast<uint32_t>(at), e.end = static_cast<uint32_t>(end + 1);
            }
            at = end + 1;
            open.pop_back();
            ended = open.empty();
        } else {
            size_t end = at + 1;
            bool empty = false;
            if (open.size() == MAX_DEPTH) return IXML_TOO_DEEP;
            if (ended || !ReadName(*d, &end)) return IXML_NOT_XML;
            const size_t name = at + 1, name_len = end - at - 1;
            bool many = false;
            if (!ReadAttributes(*d, &end, &empty, &many))
                return many ? IXML_TOO_DEEP : IXML_NOT_XML;
            int kept = -1;
            const int parent = open.empty() ? -1 : open.back().kept;
            const bool first = !open.empty() && !open.back().parent;
            if (!open.empty()) open.back().parent = true;
            if (open.empty() ||
                (parent >= 0 && Wanted(*d, d->el[static_cast<size_t>(parent)],
                                       std::string_view(d->x + name, name_len), first))) {
                const int depth = parent < 0 ? 0 : d->el[static_cast<size_t>(parent)].depth + 1;
                tracks += depth == 2 && Local(std::string_view(d->x + name, name_len)) == "TRACK";
                if (d->el.size() == MAX_KEPT || tracks > MAX_TRACKS) return IXML_TOO_DEEP;
                kept = static_cast<int>(d->el.size());
                const auto u = [](size_t v) { return static_cast<uint32_t>(v); };
                d->el.push_back(
                    {u(name), u(name_len), u(at), u(end), u(end), u(end), parent, depth, empty});
            }
            if (!empty) open.push_back({name, name_len, kept, false});
            ended = empty && open.empty();
            at = end;
        }
        if (at == std::string::npos) return IXML_NOT_XML;
    }
    return ended ? IXML_WHOLE : IXML_NOT_XML;
}

// A UTF-16 document (its byte-order mark first) in UTF-8 in text, less the NULs after it, its
// declaration's encoding named UTF-8. IXML_NOT_XML when its code units are no UTF-16;
// IXML_TOO_DEEP when its UTF-8 would take more than five eighths of its size (a recording's is
// mostly markup, half its size; characters beyond it take up to three bytes), which keeps the
// reading's memory within the bound that a document in UTF-8 of the chunk's size keeps.
IxmlVerdict FromUtf16(const unsigned char* b, size_t size, std::string* text) {
    const size_t most = size / 8 * 5;
    const bool little = b[0] == 0xFF;
    const auto unit = [&](size_t k) {
        return little ? b[k] | b[k + 1] << 8 : b[k] << 8 | b[k + 1];
    };
    for (size_t k = 2; k + 1 < size && text->size() <= most; k += 2) {
        uint32_t c = static_cast<uint32_t>(unit(k));
        if (c >= 0xD800 && c <= 0xDBFF && k + 3 < size && unit(k + 2) >= 0xDC00 &&
            unit(k + 2) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + static_cast<uint32_t>(unit(k + 2) - 0xDC00);
            k += 2;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return IXML_NOT_XML;
        }
        PutUtf8(c, text);
    }
    while (!text->empty() && text->back() == '\0') text->pop_back();
    const size_t end = text->compare(0, 5, "<?xml") == 0 ? text->find("?>") : 0;
    const size_t name = text->find("encoding", 5);
    const size_t quote = name < end ? text->find_first_of("\"'", name) : end;
    const size_t close = quote < end ? text->find((*text)[quote], quote + 1) : end;
    if (close < end) text->replace(quote + 1, close - quote - 1, "UTF-8");
    return text->size() <= most ? IXML_WHOLE : IXML_TOO_DEEP;
}

// Reads the size bytes at xml into d, less the NUL bytes recorders pad the chunk with after the
// document; a UTF-16 document is read from its UTF-8 form, kept in text. IXML_WHOLE as ReadXml.
IxmlVerdict ReadChunk(const char* xml, size_t size, Document* d, std::string* text) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(xml);
    if (size >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF))) {
        const IxmlVerdict wide = FromUtf16(b, size, text);
        if (wide != IXML_WHOLE) return wide;
        xml = text->data(), size = text->size();
    }
    *d = Document{xml, size, Encoding::UTF8, {}};
    while (d->size > 0 && d->x[d->size - 1] == '\0') --d->size;
    return ReadXml(d);
}

// The first kept child of element parent whose local name is name; -1 when it has none.
int Child(const Document& d, int parent, const char* name) {
    for (size_t k = static_cast<size_t>(parent) + 1;
         k < d.el.size() && d.el[k].open < d.el[static_cast<size_t>(parent)].end; ++k) {
        if (d.el[k].parent == parent && Local(NameOf(d, d.el[k])) == name) {
            return static_cast<int>(k);
        }
    }
    return -1;
}

// The text an element holds itself, as UTF-8: its references and CDATA sections read, comments,
// processing instructions and child elements skipped whole, white space around it cut.
std::string TextOf(const Document& d, const Element& e) {
    std::string text, one;
    int depth = 0;
    for (size_t at = e.body, end = 0; at < e.close; at = end) {
        const unsigned char b = static_cast<unsigned char>(d.x[at]);
        if (Starts(d, at, "<!--")) {
            end = Find(d, at, "-->") + 3;
        } else if (Starts(d, at, "<?")) {
            end = Find(d, at, "?>") + 2;
        } else if (Starts(d, at, "<![CDATA[")) {
            end = Find(d, at, "]]>") + 3;
            if (depth == 0) text.append(d.x + at + 9, end - at - 12);
        } else if (Starts(d, at, "</")) {
            --depth, end = Find(d, at, ">") + 1;
        } else if (b == '<') {
            // A child's start tag: '>' may stand in its quoted values.
            char quote = 0;
            for (end = at + 1; quote != 0 || d.x[end] != '>'; ++end) {
                if (d.x[end] == '"' || d.x[end] == '\'')
                    quote = quote == 0 ? d.x[end] : quote == d.x[end] ? 0 : quote;
            }
            depth += d.x[end - 1] != '/';
            ++end;
        } else if (b == '&' && Reference(d, at, &one, &end)) {
            if (depth == 0) text += one;
        } else {
            end = at + 1;
            if (depth == 0 && b >= 0x80 && d.encoding != Encoding::UTF8) {
                PutUtf8(b, &text);
            } else if (depth == 0) {
                text += static_cast<char>(b);
            }
        }
    }
    const size_t first = text.find_first_not_of(" \t\r\n"), last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// UTF-8 text (a file name's bytes, which may be none) as character data of the document: markup
// escaped, what is no UTF-8 or no character XML holds written as U+FFFD, and anything beyond ASCII
// as a reference where the document is not in UTF-8.
std::string Escaped(const Document& d, const std::string& text) {
    std::string out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t at = 0, len = 0; at < text.size(); at += len) {
        uint32_t c = 0;
        if (!DecodeUtf8(p + at, text.size() - at, &c, &len)) c = 0xFFFD, len = 1;
        if (!XmlChar(c)) c = 0xFFFD;
        if (c == '&' || c == '<' || c == '>' || c == '\r') {
            // A CR written as it is would be read as a line feed.
            out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : "&#13;";
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (d.encoding == Encoding::UTF8) {
            PutUtf8(c, &out);
        } else {
            char ref[16];
            std::snprintf(ref, sizeof ref, "&#x%X;", c);
            out += ref;
        }
    }
    return out;
}

// A change to the text: bytes from to to replaced by text; later ones of one place go after.
struct Edit {
    size_t from, to;
    std::string text;
};

// The element named name (with the prefix of the element named like) holding text.
std::string Tagged(std::string_view like, const char* name, const std::string& text) {
    const std::string prefix(like.substr(0, like.size() - Local(like).size()));
    return "<" + prefix + name + ">" + text + "</" + prefix + name + ">";
}

// Gives element e the text; an empty-element tag becomes a start and an end tag.
void SetText(const Document& d, std::vector<Edit>* edits, const Element& e,
             const std::string& text) {
    if (e.empty) {
        const std::string name(NameOf(d, e));
        edits->push_back({e.open, e.end, "<" + name + ">" + text + "</" + name + ">"});
    } else {
        edits->push_back({e.body, e.close, text});
    }
}

// Where the white space before place starts, back to from at most.
size_t SpaceBefore(const Document& d, size_t place, size_t from) {
    while (place > from && Space(d.x[place - 1])) --place;
    return place;
}

// Gives the child of parent named name the text, or adds one holding it as the parent's last
// child, indented as its first child is.
void SetChild(const Document& d, std::vector<Edit>* edits, int parent, const char* name,
              const std::string& text) {
    const int child = Child(d, parent, name);
    if (child >= 0) return SetText(d, edits, d.el[static_cast<size_t>(child)], text);
    const Element& p = d.el[static_cast<size_t>(parent)];
    const std::string element = Tagged(NameOf(d, p), name, text);
    if (p.empty) {
        const std::string pname(NameOf(d, p));
        return edits->push_back({p.open, p.end, "<" + pname + ">" + element + "</" + pname + ">"});
    }
    std::string indent;
    const size_t first = static_cast<size_t>(parent) + 1;  // its first child, if it has one
    if (first < d.el.size() && d.el[first].parent == parent) {
        const size_t from = SpaceBefore(d, d.el[first].open, p.body);
        indent.assign(d.x + from, d.el[first].open - from);
    }
    const size_t at = SpaceBefore(d, p.close, p.body);
    edits->push_back({at, at, indent + element});
}

// Removes element k, with the white space before it.
void Remove(const Document& d, std::vector<Edit>* edits, int k) {
    const Element& e = d.el[static_cast<size_t>(k)];
    edits->push_back({SpaceBefore(d, e.open, d.el[static_cast<size_t>(e.parent)].body), e.end, ""});
}

// The number an element holds (as a recorder writes an index), or 0.
unsigned long NumberOf(const Document& d, int k) {
    const std::string text = k < 0 ? "" : TextOf(d, d.el[static_cast<size_t>(k)]);
    return !text.empty() && text.size() <= 5 &&
                   text.find_first_not_of("0123456789") == std::string::npos
               ? std::stoul(text)
               : 0;
}

// The tracks of the track list (-1 when there is none), and in match the track of each of its
// match->size() channels:
// the one whose INTERLEAVE_INDEX is the channel's; of those with no INTERLEAVE_INDEX, as many as
// the channels still unmatched, in the order of their CHANNEL_INDEX (a recorder puts its armed
// tracks in a file in order) where each has one of its own, or else of the list; where no track
// has an index, the first ones. False when a channel has none.
bool MatchTracks(const Document& d, int list, std::vector<int>* tracks, std::vector<int>* match) {
    const auto at = [&](int k) -> const Element& { return d.el[static_cast<size_t>(k)]; };
    const size_t n = match->size();
    std::vector<int> loose, found(n, 0);
    std::fill(match->begin(), match->end(), -1);
    for (int k = list + 1; list >= 0 && k < int(d.el.size()) && at(k).open < at(list).end; ++k) {
        if (at(k).parent != list || Local(NameOf(d, at(k))) != "TRACK") continue;
        tracks->push_back(k);
        const int index = Child(d, k, "INTERLEAVE_INDEX");
        const unsigned long number = NumberOf(d, index);
        if (index < 0) loose.push_back(k);
        if (index >= 0 && number >= 1 && number <= n) (*match)[number - 1] = k, ++found[number - 1];
    }
    size_t open = 0;
    for (size_t channel = 0; channel < n; ++channel) {
        if (found[channel] > 1) return false;  // two tracks claim the channel
        open += (*match)[channel] < 0;
    }
    if (loose.size() == tracks->size() && loose.size() >= n) loose.resize(n);
    if (loose.size() != open) return open == 0;
    // In the order of their CHANNEL_INDEX where each has one of its own.
    std::vector<unsigned long> numbers;
    for (const int k : loose) numbers.push_back(NumberOf(d, Child(d, k, "CHANNEL_INDEX")));
    std::vector<unsigned long> sorted = numbers;
    std::sort(sorted.begin(), sorted.end());
    if (!sorted.empty() && sorted[0] != 0 &&
        std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end()) {
        std::vector<int> ordered(loose.size());
        for (size_t k = 0; k < loose.size(); ++k) {
            const auto place = std::lower_bound(sorted.begin(), sorted.end(), numbers[k]);
            ordered[size_t(place - sorted.begin())] = loose[k];
        }
        loose = ordered;
    }
    for (size_t channel = 0, next = 0; channel < n; ++channel) {
        if ((*match)[channel] < 0) (*match)[channel] = loose[next++];
    }
    return true;
}

// The element k of BEXT_FIELDS as the output's bext body holds it, as text; a UMID in hexadecimal
// digits, all 64 bytes or the basic 32 as the input's copy had it (wide).
std::string BextField(const std::string& bext, size_t k, bool wide) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bext.data());
    const size_t at[] = {0,         BEXT_ORIGINATOR, BEXT_REFERENCE, BEXT_DATE,
                         BEXT_TIME, BEXT_TIME_LOW,   BEXT_TIME_HIGH, BEXT_VERSION,
                         BEXT_UMID, BEXT_HISTORY};
    const size_t size[] = {BEXT_ORIGINATOR, 32, 32, 10, 8, 4, 4, 2, 64, bext.size() - BEXT_HISTORY};
    if (k == 5 || k == 6) return std::to_string(Assem4(b + at[k]));
    if (k == 7) return std::to_string(Assem2(b + at[k]));
    if (k == 8) {
        std::string hex;
        for (size_t n = 0; n < (wide ? 64u : 32u); ++n) {
            hex += "0123456789ABCDEF"[b[at[k] + n] >> 4];
            hex += "0123456789ABCDEF"[b[at[k] + n] & 15];
        }
        return hex;
    }
    return std::string(bext.data() + at[k], strnlen(bext.data() + at[k], size[k]));
}

// The edits that make the document the output of channel's: matched says whether match holds
// its track (the track list is left out where not); key stands for the take.
void EditsOfChannel(const Document& d, int channel, const std::string& parent,
                    const std::string& own, const std::string& key, const std::string& bext,
                    bool matched, const std::vector<int>& tracks, const std::vector<int>& match,
                    std::vector<Edit>* edits) {
    const size_t n = match.size();
    const auto at = [&](int k) -> const Element& { return d.el[static_cast<size_t>(k)]; };
    const int list = Child(d, 0, "TRACK_LIST");
    if (list >= 0 && !matched) Remove(d, edits, list);
    if (list >= 0 && matched) {
        for (const int k : tracks) {
            if (k != match[size_t(channel)]) Remove(d, edits, k);
        }
        const int index = Child(d, match[size_t(channel)], "INTERLEAVE_INDEX");
        if (index >= 0) SetText(d, edits, at(index), "1");
        const int count = Child(d, list, "TRACK_COUNT");
        if (count >= 0) SetText(d, edits, at(count), "1");
    }
    // Each output is a file of its own, and the pair a family of its own; the input is their
    // parent, named by its FILE_UID where it has one.
    const int uid = Child(d, 0, "FILE_UID");
    const std::string parent_uid = uid >= 0 ? TextOf(d, at(uid)) : "";
    const std::string take = parent_uid.empty() ? key : parent_uid;
    SetChild(d, edits, 0, "FILE_UID", UidOf(take + "\n" + ChannelWord(size_t(channel), n)));
    const int set = Child(d, 0, "FILE_SET");
    const int given = set < 0 ? -1 : Child(d, set, "FILE_SET_INDEX");
    const std::string style = given < 0 ? "" : TextOf(d, at(given));
    const char first = style.size() == 1 && std::isalpha(static_cast<unsigned char>(style[0]))
                           ? (std::isupper(static_cast<unsigned char>(style[0])) ? 'A' : 'a')
                           : '1';
    const std::string index = first == '1'
                                  ? std::to_string(channel + 1)
                                  : std::string(1, static_cast<char>(first + channel % 26));
    const std::string family = UidOf(take + "\nfamily");
    if (set < 0 || at(set).empty) {
        const std::string_view root = NameOf(d, at(0));
        SetChild(d, edits, 0, "FILE_SET",
                 Tagged(root, "TOTAL_FILES", std::to_string(n)) +
                     Tagged(root, "FAMILY_UID", family) + Tagged(root, "FILE_SET_INDEX", index));
    } else {
        SetChild(d, edits, set, "TOTAL_FILES", std::to_string(n));
        SetChild(d, edits, set, "FAMILY_UID", family);
        SetChild(d, edits, set, "FILE_SET_INDEX", index);
    }
    const int history = Child(d, 0, "HISTORY");
    const int current = Child(d, 0, "CURRENT_FILENAME");
    if (current >= 0) SetText(d, edits, at(current), Escaped(d, own));
    if (history < 0 || at(history).empty) {
        const std::string_view root = NameOf(d, at(0));
        SetChild(
            d, edits, 0, "HISTORY",
            Tagged(root, "PARENT_FILENAME", Escaped(d, parent)) +
                (parent_uid.empty() ? "" : Tagged(root, "PARENT_UID", Escaped(d, parent_uid))) +
                (current >= 0 ? "" : Tagged(root, "CURRENT_FILENAME", Escaped(d, own))));
    } else {
        SetChild(d, edits, history, "PARENT_FILENAME", Escaped(d, parent));
        const int grandparent = Child(d, history, "PARENT_UID");
        if (!parent_uid.empty()) {
            SetChild(d, edits, history, "PARENT_UID", Escaped(d, parent_uid));
        } else if (grandparent >= 0) {
            Remove(d, edits, grandparent);  // it named the input's parent, not the input
        }
        if (current < 0) SetChild(d, edits, history, "CURRENT_FILENAME", Escaped(d, own));
    }
    // The copy of the bext chunk is the output's, field for field; loudness not given is none.
    const int copy = Child(d, 0, "BEXT");
    if (copy >= 0 && bext.empty()) Remove(d, edits, copy);
    for (size_t k = 0; copy >= 0 && !bext.empty() && k < std::size(BEXT_FIELDS); ++k) {
        const int field = Child(d, copy, BEXT_FIELDS[k]);
        if (field < 0) continue;
        if (k >= BEXT_MIRRORED) {
            Remove(d, edits, field);
        } else {
            const bool wide = TextOf(d, at(field)).size() > 64;
            SetText(d, edits, at(field), Escaped(d, BextField(bext, k, wide)));
        }
    }
}

}  // namespace

bool WellFormedXml(const char* xml, size_t size) {
    Document d{};
    std::string text;
    return ReadChunk(xml, size, &d, &text) == IXML_WHOLE;
}

bool IxmlTracks(const char* xml, size_t size, std::string* file_uid,
                std::vector<std::string>* index) {
    Document d{};
    std::string text;
    if (ReadChunk(xml, size, &d, &text) != IXML_WHOLE || d.el.empty()) return false;
    const int uid = Child(d, 0, "FILE_UID");
    if (uid >= 0) *file_uid = TextOf(d, d.el[static_cast<size_t>(uid)]);
    std::vector<int> tracks, match(index->size());
    if (!MatchTracks(d, Child(d, 0, "TRACK_LIST"), &tracks, &match)) return true;
    for (size_t channel = 0; channel < match.size() && !tracks.empty(); ++channel) {
        const int n = Child(d, match[channel], "CHANNEL_INDEX");
        if (n >= 0) (*index)[channel] = TextOf(d, d.el[static_cast<size_t>(n)]);
    }
    return true;
}

IxmlVerdict IxmlOfChannels(const char* xml, size_t size, const std::string& parent,
                           const std::vector<std::string>& own, const std::string& take,
                           const std::vector<std::string>& bext, std::vector<std::string>* out) {
    Document d{};
    std::string text;
    const IxmlVerdict read = ReadChunk(xml, size, &d, &text);
    if (read != IXML_WHOLE) return read;
    if (d.el.empty() || d.el[0].empty) return IXML_NOT_XML;
    if (!text.empty()) xml = text.data(), size = text.size();
    std::vector<int> tracks, match(own.size());
    const int list = Child(d, 0, "TRACK_LIST");
    const bool matched = MatchTracks(d, list, &tracks, &match);
    // One channel's edits at a time, let go once used: a long track list makes many.
    for (size_t channel = 0; channel < own.size(); ++channel) {
        std::vector<Edit> e;
        EditsOfChannel(d, int(channel), parent, own[channel], take, bext[channel], matched, tracks,
                       match, &e);
        // In the order of their places; of one place, in the order made.
        std::stable_sort(e.begin(), e.end(),
                         [](const Edit& a, const Edit& b) { return a.from < b.from; });
        size_t from = 0;
        for (const Edit& edit : e) {
            if (edit.from < from) continue;  // inside a part already replaced
            (*out)[channel].append(xml + from, edit.from - from).append(edit.text);
            from = edit.to;
        }
        (*out)[channel].append(xml + from, size - from);
    }
    return list >= 0 && !matched ? IXML_NO_TRACKS : IXML_WHOLE;
}
