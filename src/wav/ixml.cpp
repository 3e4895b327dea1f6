// iXML for one channel: the chunk read as XML and changed only where the split changes the facts.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wav/wav.h"

namespace {

// One element: its name, the place of its start tag's '<', of the first byte after that tag, of
// its end tag's '<' and of the first byte after it (the last three equal for an empty-element
// tag), and its parent (-1 for the root).
struct Element {
    std::string name;
    size_t open, body, close, end;
    int parent;
    bool empty;
};

bool NameByte(unsigned char c, bool first) {
    return std::isalpha(c) || c == '_' || c == ':' || c >= 0x80 ||
           (!first && (std::isdigit(c) || c == '-' || c == '.'));
}

// Reads the name at *at; false when none stands there.
bool ReadName(const std::string& x, size_t* at, std::string* name) {
    const size_t from = *at;
    while (*at < x.size() && NameByte(static_cast<unsigned char>(x[*at]), *at == from)) ++*at;
    *name = x.substr(from, *at - from);
    return *at > from;
}

void SkipSpace(const std::string& x, size_t* at) {
    while (*at < x.size() && std::strchr(" \t\r\n", x[*at]) != nullptr && x[*at] != '\0') ++*at;
}

// The character a reference at x[at] ('&') stands for, as UTF-8, and where it ends; false when it
// is none of the predefined entities or a character reference.
bool Reference(const std::string& x, size_t at, std::string* text, size_t* end) {
    const size_t semi = x.find(';', at);
    if (semi == std::string::npos || semi - at > 12) return false;
    const std::string ref = x.substr(at + 1, semi - at - 1);
    const char* const names[] = {"amp", "lt", "gt", "quot", "apos"};
    const char* const chars[] = {"&", "<", ">", "\"", "'"};
    *end = semi + 1;
    for (int k = 0; k < 5; ++k) {
        if (ref == names[k]) return *text = chars[k], true;
    }
    const bool hex = ref.size() > 2 && ref[0] == '#' && ref[1] == 'x';
    const std::string digits = ref.substr(hex ? 2 : 1);
    if (ref.size() < 2 || ref[0] != '#' || digits.empty() || digits.size() > 7 ||
        digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
            std::string::npos) {
        return false;
    }
    const unsigned long code = std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10);
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    text->clear();
    const auto byte = [&](unsigned long v) { text->push_back(static_cast<char>(v)); };
    if (code < 0x80) {
        byte(code);
    } else if (code < 0x800) {
        byte(0xC0 | code >> 6), byte(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        byte(0xE0 | code >> 12), byte(0x80 | (code >> 6 & 0x3F)), byte(0x80 | (code & 0x3F));
    } else {
        byte(0xF0 | code >> 18), byte(0x80 | (code >> 12 & 0x3F)), byte(0x80 | (code >> 6 & 0x3F));
        byte(0x80 | (code & 0x3F));
    }
    return true;
}

// Whether x[from, to) is character data: no '<', and every '&' a reference.
bool CharacterData(const std::string& x, size_t from, size_t to) {
    std::string text;
    for (size_t at = from, end = 0; at < to;) {
        if (x[at] == '<') return false;
        if (x[at] != '&') {
            ++at;
            continue;
        }
        if (!Reference(x, at, &text, &end) || end > to) return false;
        at = end;
    }
    return true;
}

// Reads a start tag's attributes from *at up to '>' or "/>"; false when they are not well formed.
bool ReadAttributes(const std::string& x, size_t* at, bool* empty) {
    for (std::string name;;) {
        const size_t before = *at;
        SkipSpace(x, at);
        if (x.compare(*at, 2, "/>") == 0) return *at += 2, *empty = true, true;
        if (x.compare(*at, 1, ">") == 0) return *at += 1, *empty = false, true;
        if (*at == before || !ReadName(x, at, &name)) return false;
        SkipSpace(x, at);
        if (x.compare(*at, 1, "=") != 0) return false;
        ++*at;
        SkipSpace(x, at);
        if (*at >= x.size() || (x[*at] != '"' && x[*at] != '\'')) return false;
        const size_t close = x.find(x[*at], *at + 1);
        if (close == std::string::npos || !CharacterData(x, *at + 1, close)) return false;
        *at = close + 1;
    }
}

// Reads x as an XML document into its elements, in document order; false when it is not well
// formed or declares a document type (whose entities could stand for anything).
bool ReadXml(const std::string& x, std::vector<Element>* elements) {
    std::vector<int> open;
    bool ended = false;
    size_t at = x.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    // Recorders pad the chunk with NUL bytes after the document.
    const size_t size = x.find_last_not_of('\0') + 1;
    while (at < size) {
        const size_t tag = x.find('<', at);
        const size_t text_end = tag == std::string::npos ? size : std::min(tag, size);
        if (open.empty() ? x.find_first_not_of(" \t\r\n", at) < text_end
                         : !CharacterData(x, at, text_end)) {
            return false;
        }
        if ((at = text_end) >= size) break;
        const auto skip_to = [&](const char* end, size_t from) {
            const size_t found = x.find(end, from);
            return found == std::string::npos ? std::string::npos : found + std::strlen(end);
        };
        if (x.compare(at, 2, "<?") == 0) {
            at = skip_to("?>", at + 2);
        } else if (x.compare(at, 4, "<!--") == 0) {
            at = skip_to("-->", at + 4);
        } else if (x.compare(at, 9, "<![CDATA[") == 0) {
            if (open.empty()) return false;
            at = skip_to("]]>", at + 9);
        } else if (x.compare(at, 2, "<!") == 0) {
            return false;  // a DOCTYPE, or another declaration
        } else if (x.compare(at, 2, "</") == 0) {
            std::string name;
            size_t end = at + 2;
            if (open.empty() || !ReadName(x, &end, &name)) return false;
            SkipSpace(x, &end);
            Element& e = (*elements)[static_cast<size_t>(open.back())];
            if (name != e.name || x.compare(end, 1, ">") != 0) return false;
            e.close = at, e.end = end + 1, at = end + 1;
            open.pop_back();
            ended = open.empty();
        } else {
            Element e{"", at, 0, 0, 0, open.empty() ? -1 : open.back(), false};
            size_t end = at + 1;
            if (ended || !ReadName(x, &end, &e.name) || !ReadAttributes(x, &end, &e.empty)) {
                return false;
            }
            e.body = e.close = e.end = at = end;
            elements->push_back(e);
            if (!e.empty) open.push_back(static_cast<int>(elements->size() - 1));
            ended = e.empty && open.empty();
        }
        if (at == std::string::npos) return false;
    }
    return ended;
}

// The first child of element parent named name; -1 when it has none. Only the parent's own
// elements are looked at (they follow it, in document order, up to its end).
int Child(const std::vector<Element>& elements, int parent, const char* name) {
    const size_t end = elements[static_cast<size_t>(parent)].end;
    for (size_t k = static_cast<size_t>(parent) + 1; k < elements.size() && elements[k].open < end;
         ++k) {
        if (elements[k].parent == parent && elements[k].name == name) return static_cast<int>(k);
    }
    return -1;
}

// The text an element holds, its references and CDATA sections read, white space around it cut.
std::string TextOf(const std::string& x, const Element& e) {
    std::string text, one;
    for (size_t at = e.body, end = 0; at < e.close; at = end) {
        if (x.compare(at, 9, "<![CDATA[") == 0) {
            end = x.find("]]>", at) + 3;
            text += x.substr(at + 9, end - at - 12);
        } else if (x[at] == '<') {
            end = x.find('>', at) + 1;  // a child, a comment or a processing instruction
        } else if (x[at] == '&' && Reference(x, at, &one, &end)) {
            text += one;
        } else {
            text += x[at], end = at + 1;
        }
    }
    const size_t first = text.find_first_not_of(" \t\r\n"), last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
    }
    return out;
}

// A change to the text: bytes from to to replaced by text; later ones of one place go after.
struct Edit {
    size_t from, to;
    std::string text;
};

// Gives element e the text; an empty-element tag becomes a start and an end tag.
void SetText(std::vector<Edit>* edits, const Element& e, const std::string& text) {
    if (e.empty) {
        edits->push_back({e.open, e.end, "<" + e.name + ">" + text + "</" + e.name + ">"});
    } else {
        edits->push_back({e.body, e.close, text});
    }
}

// Where the white space before place starts, back to from at most.
size_t SpaceBefore(const std::string& x, size_t place, size_t from) {
    while (place > from && std::strchr(" \t\r\n", x[place - 1]) != nullptr) --place;
    return place;
}

// Gives the child of parent named name the text, or adds one holding it as the parent's last
// child, indented as its first child is.
void SetChild(const std::string& x, const std::vector<Element>& elements, std::vector<Edit>* edits,
              int parent, const char* name, const std::string& text) {
    const int child = Child(elements, parent, name);
    if (child >= 0) return SetText(edits, elements[static_cast<size_t>(child)], text);
    const Element& p = elements[static_cast<size_t>(parent)];
    const std::string element = std::string("<") + name + ">" + text + "</" + name + ">";
    if (p.empty) {
        return edits->push_back(
            {p.open, p.end, "<" + p.name + ">" + element + "</" + p.name + ">"});
    }
    std::string indent;
    const size_t first = static_cast<size_t>(parent) + 1;  // its first child, if it has one
    if (first < elements.size() && elements[first].parent == parent) {
        const size_t from = SpaceBefore(x, elements[first].open, p.body);
        indent = x.substr(from, elements[first].open - from);
    }
    const size_t at = SpaceBefore(x, p.close, p.body);
    edits->push_back({at, at, indent + element});
}

// 32 hexadecimal digits that stand for text.
std::string Uid(const std::string& text) {
    std::string uid;
    for (uint64_t seed : {uint64_t{14695981039346656037u}, uint64_t{1099511628211u}}) {
        uint64_t hash = seed;
        for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
        for (int shift = 60; shift >= 0; shift -= 4) uid += "0123456789ABCDEF"[hash >> shift & 15];
    }
    return uid;
}

}  // namespace

bool IxmlOfChannel(const std::string& xml, int channel, const std::string& parent,
                   std::string* out) {
    std::vector<Element> el;
    if (!ReadXml(xml, &el) || el.empty() || el[0].empty) return false;
    std::vector<Edit> edits;
    const auto at = [&](int k) -> const Element& { return el[static_cast<size_t>(k)]; };
    const int list = Child(el, 0, "TRACK_LIST");
    if (list >= 0) {
        std::vector<int> tracks;
        int kept = -1;
        bool indexed = false;
        for (int k = 0; k < static_cast<int>(el.size()); ++k) {
            if (at(k).parent != list || at(k).name != "TRACK") continue;
            tracks.push_back(k);
            const int index = Child(el, k, "INTERLEAVE_INDEX");
            indexed = indexed || index >= 0;
            if (index >= 0 && TextOf(xml, at(index)) == std::to_string(channel + 1)) kept = k;
        }
        if (!indexed && static_cast<int>(tracks.size()) > channel) kept = tracks[size_t(channel)];
        if (kept < 0) return false;
        for (const int k : tracks) {
            if (k == kept) continue;
            // With the white space before it.
            edits.push_back({SpaceBefore(xml, at(k).open, at(list).body), at(k).end, ""});
        }
        const int index = Child(el, kept, "INTERLEAVE_INDEX");
        if (index >= 0) SetText(&edits, at(index), "1");
        const int count = Child(el, list, "TRACK_COUNT");
        if (count >= 0) SetText(&edits, at(count), "1");
    }
    // The outputs are a set of two files, each with a name of its own, both children of the input.
    const int uid = Child(el, 0, "FILE_UID");
    const std::string parent_uid = uid >= 0 ? TextOf(xml, at(uid)) : Uid(xml);
    SetChild(xml, el, &edits, 0, "FILE_UID",
             Uid(parent_uid + (channel == 0 ? "\nleft" : "\nright")));
    const int set = Child(el, 0, "FILE_SET");
    if (set < 0 || at(set).empty) {
        SetChild(xml, el, &edits, 0, "FILE_SET",
                 "<TOTAL_FILES>2</TOTAL_FILES><FAMILY_UID>" + Escaped(parent_uid) +
                     "</FAMILY_UID><FILE_SET_INDEX>" + std::to_string(channel + 1) +
                     "</FILE_SET_INDEX>");
    } else {
        SetChild(xml, el, &edits, set, "TOTAL_FILES", "2");
        if (Child(el, set, "FAMILY_UID") < 0) {
            SetChild(xml, el, &edits, set, "FAMILY_UID", Escaped(parent_uid));
        }
        SetChild(xml, el, &edits, set, "FILE_SET_INDEX", std::to_string(channel + 1));
    }
    const int history = Child(el, 0, "HISTORY");
    const std::string parents = "<PARENT_FILENAME>" + Escaped(parent) + "</PARENT_FILENAME>" +
                                "<PARENT_UID>" + Escaped(parent_uid) + "</PARENT_UID>";
    if (history < 0 || at(history).empty) {
        SetChild(xml, el, &edits, 0, "HISTORY", parents);
    } else {
        SetChild(xml, el, &edits, history, "PARENT_FILENAME", Escaped(parent));
        SetChild(xml, el, &edits, history, "PARENT_UID", Escaped(parent_uid));
    }
    // From the end back, so that each edit's places still hold; of one place, the later first.
    *out = xml;
    std::stable_sort(edits.begin(), edits.end(),
                     [](const Edit& a, const Edit& b) { return a.from < b.from; });
    for (size_t k = edits.size(); k-- > 0;) {
        out->replace(edits[k].from, edits[k].to - edits[k].from, edits[k].text);
    }
    return true;
}
