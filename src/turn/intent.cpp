// The lock's format. A lock of format 3, line by line:
//   quenlor2 lock                      what any run of this program writes first
//   host N:name / machine N:id / boot N:id / pid P / start S / file D I H
//                                      the holder (format 1 had no file line)
//   output N:name / backup N:name / temp N:name / new D I H SIZE MTIME
//                                      each output, left then right (format 1 had no new line)
//   end
//   version 3
//   digest LEFT RIGHT                  each new file's digest, in hexadecimal
//   undo                               added when the undo begins; any part of it counts
// A lock of format 4, for more than two outputs, names the first two as above, then after "end":
//   version 4
//   output / backup / temp / new       each other output, in its order
//   digest D1 D2 ... DN                each new file's digest
// Names are plain names of the lock's folder; numbers are decimal, of at most 20 digits. A later
// format keeps the holder's lines as they are, so that every version judges whether the holder
// lives, and says what it changes after "version", so that this one leaves its turn alone.
#include "intent.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Reads digits, a number that 64 bits hold, into value; false when they are none.
bool Number(const std::string& digits, uint64_t* value, int base = 10) {
    const char* allowed = base == 10 ? "0123456789" : "0123456789abcdef";
    if (digits.empty() || digits.size() > (base == 10 ? 20u : 16u) ||
        digits.find_first_not_of(allowed) != std::string::npos) {
        return false;
    }
    errno = 0;
    *value = std::strtoull(digits.c_str(), nullptr, base);
    return errno != ERANGE;
}

// Reads a line "key value", or for a field "key length:bytes", at *at of text; false when there
// is none (*at then stays).
bool ReadLine(const std::string& text, size_t* at, const char* key, bool field,
              std::string* value) {
    const std::string start = std::string(key) + " ";
    if (text.compare(*at, start.size(), start) != 0) return false;
    size_t from = *at + start.size(), end = text.find('\n', from);
    if (field) {
        const size_t colon = text.find(':', from);
        if (colon == std::string::npos || colon == from || colon - from > 5 ||
            text.find_first_not_of("0123456789", from) != colon) {
            return false;
        }
        const size_t length = std::strtoul(text.substr(from, colon - from).c_str(), nullptr, 10);
        from = colon + 1;
        end = from + length;
        if (end >= text.size() || text[end] != '\n') return false;
    }
    if (end == std::string::npos) return false;
    *value = text.substr(from, end - from);
    *at = end + 1;
    return true;
}

// Reads "key" then count numbers (of base) separated by spaces into parts; false otherwise.
bool ReadNumbers(const std::string& text, size_t* at, const char* key, size_t count,
                 uint64_t* parts, int base = 10) {
    std::string line;
    size_t from = *at;
    if (!ReadLine(text, &from, key, false, &line)) return false;
    size_t start = 0;
    for (size_t k = 0; k < count; ++k) {
        const size_t end = std::min(line.find(' ', start), line.size());
        if (start > line.size() || !Number(line.substr(start, end - start), &parts[k], base))
            return false;
        start = end + 1;
    }
    if (start != line.size() + 1) return false;
    *at = from;
    return true;
}

// Reads a file's line: three numbers, or five for a file written.
bool ReadId(const std::string& text, size_t* at, const char* key, bool written, FileId* id) {
    uint64_t parts[5] = {};
    if (!ReadNumbers(text, at, key, written ? 5 : 3, parts)) return false;
    *id = FileId{parts[0], parts[1], parts[3], parts[4], parts[2]};
    return true;
}

std::string Hex(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// Whether text, from at, is a non-empty beginning of line.
bool Begins(const std::string& text, size_t at, const char* line) {
    return at < text.size() && std::strncmp(text.c_str() + at, line, text.size() - at) == 0 &&
           text.size() - at <= std::strlen(line);
}

}  // namespace

std::string Field(const std::string& text) {
    return std::to_string(text.size()) + ":" + text + "\n";
}

std::string IdText(const FileId& id, bool written) {
    return std::to_string(id.device) + " " + std::to_string(id.inode) + " " +
           std::to_string(id.inode_high) +
           (written ? " " + std::to_string(id.size) + " " + std::to_string(id.mtime) : "") + "\n";
}

std::string HolderText(const Holder& h) {
    return "quenlor2 lock\n" + ("host " + Field(h.host)) + ("machine " + Field(h.machine)) +
           ("boot " + Field(h.boot)) + "pid " + std::to_string(h.pid) + "\nstart " +
           std::to_string(h.start) + "\nfile " + IdText(h.file);
}

bool ReadHolder(const std::string& text, Holder* h, size_t* at, int* format) {
    *at = 0;
    if (text.compare(0, 14, "quenlor2 lock\n") != 0) return false;
    *at = 14;
    if (!ReadLine(text, at, "host", true, &h->host) ||
        !ReadLine(text, at, "machine", true, &h->machine) ||
        !ReadLine(text, at, "boot", true, &h->boot) || !ReadNumbers(text, at, "pid", 1, &h->pid) ||
        !ReadNumbers(text, at, "start", 1, &h->start)) {
        return false;
    }
    // A lock of format 1 names no file: its holder is then judged by its process.
    h->file = FileId{};
    const bool file = ReadId(text, at, "file", false, &h->file);
    if (format != nullptr) *format = file ? 2 : 1;
    return true;
}

std::string IntentText(const std::vector<Side>& sides) {
    const auto lines = [&sides](size_t from, size_t to) {
        std::string text;
        for (size_t k = from; k < to; ++k) {
            const Side& side = sides[k];
            text += "output " + Field(side.output) + "backup " + Field(side.backup) + "temp " +
                    Field(side.temp) + "new " + IdText(side.made, true);
        }
        return text;
    };
    const bool set = sides.size() > 2;
    std::string digests;
    for (const Side& side : sides) digests += " " + Hex(side.digest);
    return lines(0, 2) + "end\nversion " + std::to_string(set ? SET_VERSION : LOCK_VERSION) + "\n" +
           (set ? lines(2, sides.size()) : "") + "digest" + digests + "\n";
}

void ReadIntent(const std::string& text, size_t at, int holder_format, Intent* intent) {
    *intent = Intent{};
    if (at == text.size()) return;  // Told::NOTHING
    intent->version = holder_format;
    // Where a line can't be read: before the end, an intent never flushed (what follows it
    // began nothing); after it, cut short when it is the last line and incomplete, and otherwise
    // what no run writes.
    intent->told = Told::CUT;
    bool ended = false;
    const auto stop = [&text, &at, &ended, intent]() {
        if (ended && text.find('\n', at) != std::string::npos) intent->told = Told::OTHER;
    };
    // Reads an output's lines; false when they are not there.
    const auto side = [&]() {
        Side one;
        if (!ReadLine(text, &at, "output", true, &one.output) ||
            !ReadLine(text, &at, "backup", true, &one.backup) ||
            !ReadLine(text, &at, "temp", true, &one.temp) ||
            (holder_format > 1 && !ReadId(text, &at, "new", true, &one.made))) {
            return false;
        }
        intent->sides.push_back(one);
        return true;
    };
    if (!side() || !side()) return stop();
    if (text.compare(at, 4, "end\n") != 0) return stop();
    at += 4, ended = true;
    uint64_t version = 0;
    if (ReadNumbers(text, &at, "version", 1, &version)) {
        if (version > SET_VERSION) return void(intent->told = Told::LATER);
        if (version < LOCK_VERSION) return stop();
        while (version == SET_VERSION && intent->sides.size() < MOST_OUTPUTS && side()) {
        }
        if ((version == SET_VERSION) != (intent->sides.size() > 2)) return stop();
        std::vector<uint64_t> digests(intent->sides.size());
        if (!ReadNumbers(text, &at, "digest", digests.size(), digests.data(), 16)) return stop();
        intent->version = static_cast<int>(version);
        for (size_t k = 0; k < digests.size(); ++k) intent->sides[k].digest = digests[k];
    }
    // The undo's line, or any part of it that a crash left.
    intent->undo = Begins(text, at, UNDO_LINE);
    if (at != text.size() && !intent->undo) return stop();
    intent->told = Told::WHOLE;
}

bool FileDigest(intptr_t fd, uint64_t size, uint64_t* digest) {
    constexpr uint64_t END = 4096;
    std::string head, tail;
    if (!ReadRange(fd, 0, static_cast<size_t>(std::min(size, END)), &head) ||
        (size > END && !ReadRange(fd, size - END, END, &tail))) {
        return false;
    }
    uint64_t hash = 14695981039346656037u;  // FNV-1a
    for (const std::string* part : {&head, &tail}) {
        for (const char c : *part) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
    }
    return *digest = hash, true;
}
