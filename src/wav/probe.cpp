// The input probe. A well-formed file is read as its chunks say; anything else is searched for
// the format and data tags near its start and judged by its channel count and bits per sample.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

#include "fail.h"
#include "system/system.h"
#include "wav/wav.h"

namespace {

// Offsets of the fields that follow the format tag: the format code, and in the extensible
// format (code 0xFFFE) the first two bytes of the sub-format's GUID, which are the code of PCM
// (1) in the PCM GUID.
constexpr uint64_t FMT_CODE = 8;
constexpr uint64_t FMT_VALID_BITS = 26;
constexpr uint64_t FMT_SUBFORMAT = 32;
constexpr uint32_t CODE_EXTENSIBLE = 0xFFFE;
constexpr uint64_t FMT_CHANNELS = 10;
constexpr uint64_t FMT_SAMPLE_RATE = 12;
constexpr uint64_t FMT_BITS = 22;

// Offsets in a chunk header, and its size.
constexpr uint64_t CHUNK_LEN = 4;
constexpr uint64_t CHUNK_HEADER = 8;
// The ds64 chunk that RF64 and BW64 files start with: the 64-bit data size stands at bytes 8-15
// of its body, after the RIFF size; a body shorter than its fixed fields holds no sizes.
constexpr uint64_t DS64_DATA_SIZE = 8;
constexpr uint64_t DS64_MIN_BODY = 28;
// The largest chunk that metadata after the samples makes (tags, cue lists, iXML, pictures): a
// chunk header that declares more, past the end of the file, is taken for sample bytes.
constexpr uint64_t METADATA_MAX = 16 << 20;
constexpr uint64_t SET_METADATA_MAX = 24 << 20;
// The data chunk's 32-bit length when the true one stands in ds64.
constexpr uint64_t LEN_IN_DS64 = 0xFFFFFFFF;
// A chain longer than this before its data chunk is taken as broken, so a hostile file can't
// make the probe read one header at a time through gigabytes.
constexpr int WALK_MAX_CHUNKS = 4096;

// The input's first bytes, read once, and the open file for what lies beyond them.
struct Input {
    std::FILE* file;
    unsigned char window[PROBE_WINDOW];
    size_t got;
    uint64_t size;
};

// Copies the n bytes at pos into out, from the window when they lie in it; false when the file
// ends before them.
bool ReadAt(Input& in, uint64_t pos, unsigned char* out, size_t n) {
    if (pos + n <= in.got) {
        std::memcpy(out, in.window + pos, n);
        return true;
    }
    if (pos + n > in.size || !SeekTo(in.file, pos)) return false;
    if (std::fread(out, 1, n, in.file) == n) return true;
    if (std::ferror(in.file)) Fail(MSG_READ, 2);
    return false;
}

// The little-endian field of width 2 or 4 at pos; a field reaching past the end reads as 0.
uint32_t Field(Input& in, uint64_t pos, size_t width) {
    unsigned char b[4];
    if (!ReadAt(in, pos, b, width)) return 0;
    return width == 2 ? Assem2(b) : Assem4(b);
}

// First even position 2..15,000 at which tag stands wholly inside the file; -1 if none.
long FindTag(const Input& in, const char* tag) {
    const size_t len = std::strlen(tag);
    for (long pos = 2; pos <= PROBE_LAST_TAG_POS; pos += 2) {
        const size_t at = static_cast<size_t>(pos);
        if (at + len <= in.got && std::memcmp(in.window + at, tag, len) == 0) return pos;
    }
    return -1;
}

// Whether the 8 bytes at pos are a chunk header: four printable ASCII characters, then a length.
bool ChunkHeader(Input& in, uint64_t pos, unsigned char* head) {
    if (!ReadAt(in, pos, head, CHUNK_HEADER)) return false;
    for (size_t k = 0; k < 4; ++k) {
        if (head[k] < 0x20 || head[k] > 0x7E) return false;
    }
    return true;
}

// Where the samples of the data chunk whose body starts at `body` end. Its declared length
// counts when it ends within the file and what follows is nothing, less than a chunk header, or
// a chunk (metadata, even one cut short by a copy that stopped); otherwise, as for a header
// never finished or a recording that went on past its last update, the samples run to the end
// of the file.
uint64_t SamplesEnd(Input& in, uint64_t body, uint64_t declared) {
    if (declared == 0 || body + declared > in.size) return in.size;
    const uint64_t after = body + declared + declared % 2;
    unsigned char head[CHUNK_HEADER];
    if (after + CHUNK_HEADER > in.size) return body + declared;
    if (ChunkHeader(in, after, head)) {
        const uint64_t len = Assem4(head + CHUNK_LEN);
        if (after + CHUNK_HEADER + len <= in.size || len <= METADATA_MAX) return body + declared;
    }
    return in.size;
}

// The data size that an RF64 or BW64 file's ds64 chunk gives; false when the file has none.
bool Ds64DataSize(const Input& in, uint64_t* size) {
    const unsigned char* head = in.window + 12;
    const unsigned char* body = head + CHUNK_HEADER;
    if (in.got < 12 + CHUNK_HEADER + DS64_MIN_BODY ||
        (std::memcmp(in.window, "RF64", 4) != 0 && std::memcmp(in.window, "BW64", 4) != 0) ||
        std::memcmp(head, "ds64", 4) != 0 || Assem4(head + CHUNK_LEN) < DS64_MIN_BODY) {
        return false;
    }
    *size = uint64_t{Assem4(body + DS64_DATA_SIZE)} | uint64_t{Assem4(body + DS64_DATA_SIZE + 4)}
                                                          << 32;
    return true;
}

// Where the chain goes on after a chunk of odd length, whose pad byte some writers leave out: at
// padded, unless no whole chunk stands there but one does a byte before it. A data chunk counts
// as whole whatever its length, which a recording never finished or an RF64 file leaves too large.
uint64_t NextChunk(Input& in, uint64_t padded, bool odd, uint64_t stop) {
    unsigned char head[CHUNK_HEADER];
    const auto whole = [&](uint64_t pos) {
        return pos + CHUNK_HEADER <= stop && ChunkHeader(in, pos, head) &&
               (pos + CHUNK_HEADER + Assem4(head + CHUNK_LEN) <= in.size ||
                std::memcmp(head, "data", 4) == 0);
    };
    return odd && !whole(padded) && whole(padded - 1) ? padded - 1 : padded;
}

// Follows the chunks of a RIFF/WAVE file (or RF64/BW64) from byte 12. When they lead, each
// named by four printable characters and ending within the file, past a "fmt " chunk of 16 bytes
// or more to a "data" chunk, gives the positions of both tags and where the samples end (the
// data length from ds64 when the data chunk defers to it); false otherwise.
bool WalkChunks(Input& in, uint64_t* fmt, uint64_t* data, uint64_t* end) {
    if (in.got < 12 || std::memcmp(in.window + 8, "WAVE", 4) != 0) return false;
    bool have_fmt = false;
    uint64_t ds64_size = 0;
    const bool have_ds64 = Ds64DataSize(in, &ds64_size);
    uint64_t pos = 12;
    for (int k = 0; k < WALK_MAX_CHUNKS && pos + CHUNK_HEADER <= UINT32_MAX; ++k) {
        unsigned char head[CHUNK_HEADER];
        if (!ChunkHeader(in, pos, head)) return false;
        const uint64_t len = Assem4(head + CHUNK_LEN);
        if (std::memcmp(head, "data", 4) == 0) {
            if (!have_fmt) return false;
            *data = pos;
            const uint64_t declared = have_ds64 && len == LEN_IN_DS64 ? ds64_size : len;
            *end = SamplesEnd(in, pos + CHUNK_HEADER, declared);
            return true;
        }
        if (pos + CHUNK_HEADER + len > in.size) return false;
        if (!have_fmt && std::memcmp(head, "fmt ", 4) == 0 && len >= 16) {
            have_fmt = true;
            *fmt = pos;
        }
        pos = NextChunk(in, pos + CHUNK_HEADER + len + len % 2, len % 2 == 1, in.size);
    }
    return false;
}

// What the outputs do with a chunk: carry it; leave it out unsaid (the file's own structure,
// and padding); or leave it out with a line saying why: it describes the stereo file, is of a
// kind they don't carry, or repeats a bext or iXML already carried (an output holds one each).
enum Kind { CARRIED, UNSAID, STEREO, OTHER, AGAIN };

bool Among(const unsigned char* id, std::initializer_list<const char*> ids) {
    for (const char* one : ids) {
        if (std::memcmp(id, one, 4) == 0) return true;
    }
    return false;
}

// The kind of the chunk at pos, of length len, whose header is head: carried are the tags and
// the marker labels (lists of the forms INFO and adtl, or too short to have a form, so that they
// are named as too short), cue points, sampler and instrument settings, the broadcast extension,
// the broadcast cart and iXML; seen tells which of bext and iXML came already. Sets fixed to the
// bytes a carried chunk's body holds at least.
Kind KindOf(Input& in, uint64_t pos, uint64_t len, unsigned char* head, bool seen[2],
            uint64_t* fixed) {
    const std::pair<const char*, uint64_t> kinds[] = {
        {"cue ", 4}, {"smpl", 36}, {"inst", 7}, {"cart", CART_FIXED}};
    for (const auto& [kind, size] : kinds) {
        if (std::memcmp(head, kind, 4) == 0) return *fixed = size, CARRIED;
    }
    for (int k = 0; k < 2; ++k) {
        if (std::memcmp(head, k == 0 ? "bext" : "iXML", 4) != 0) continue;
        if (seen[k]) return AGAIN;
        *fixed = k == 0 ? BEXT_HISTORY : 0;
        return seen[k] = true, CARRIED;
    }
    if (Among(head, {"LIST", "list"})) {
        unsigned char* form = head + CHUNK_HEADER;
        *fixed = 4;
        return len < 4 || (ReadAt(in, pos + CHUNK_HEADER, form, 4) && Among(form, {"INFO", "adtl"}))
                   ? CARRIED
                   : OTHER;
    }
    if (Among(head, {"fmt ", "data", "ds64", "JUNK", "junk", "PAD ", "pad ", "FLLR"}))
        return UNSAID;
    // Sample counts, levels, checksums and channel maps of the two channels together; the
    // material's identifiers (umid, XMP's) are the stereo file's.
    if (Among(head, {"fact", "PEAK", "levl", "MD5 ", "chna", "axml", "umid", "_PMX", "dbmd"})) {
        return STEREO;
    }
    return OTHER;
}

// Appends to metadata the carried chunks of the chain from pos to stop, each with its pad byte,
// as long as they stand whole in the file and all fit under METADATA_MAX; a chain that breaks
// ends the look. A chunk left out gets a line saying why, but for the file's structure and
// padding. For a take of more than two channels, whose outputs each carry it, the metadata is held
// to SET_METADATA_MAX over all of them, so that a take of 64 channels splits in 32 MiB.
void CollectChunks(Input& in, uint64_t pos, uint64_t stop, bool seen[2], uint32_t n,
                   std::string* metadata) {
    const uint64_t most = n > 2 ? SET_METADATA_MAX / n : METADATA_MAX;
    unsigned char head[CHUNK_HEADER + 4];
    for (int k = 0; k < WALK_MAX_CHUNKS && pos + CHUNK_HEADER <= stop; ++k) {
        if (!ChunkHeader(in, pos, head)) return;
        const uint64_t len = Assem4(head + CHUNK_LEN), whole = CHUNK_HEADER + len + len % 2;
        uint64_t fixed = 0;
        // Its id (printable, as ChunkHeader found) without the spaces that pad it to four.
        char name[5] = {};
        std::memcpy(name, head, 4);
        for (int c = 3; c > 0 && name[c] == ' '; --c) name[c] = '\0';
        const Kind kind = KindOf(in, pos, len, head, seen, &fixed);
        if (kind == STEREO || kind == OTHER || kind == AGAIN) {
            std::printf(kind == STEREO  ? MSG_CHUNK_STEREO "\n"
                        : kind == OTHER ? MSG_CHUNK_OTHER "\n"
                                        : MSG_CHUNK_AGAIN "\n",
                        name);
        } else if (kind == CARRIED && pos + CHUNK_HEADER + len > in.size) {
            std::printf(MSG_CHUNK_CUT "\n", name);
        } else if (kind == CARRIED && len < fixed) {
            std::printf(MSG_CHUNK_SHORT "\n", name);
        } else if (kind == CARRIED && metadata->size() + whole > most) {
            std::printf(n > 2 ? MSG_CHUNK_SET_LARGE "\n" : MSG_CHUNK_LARGE "\n", name);
        } else if (kind == CARRIED) {
            const size_t at = metadata->size();
            metadata->resize(at + whole);
            unsigned char* bytes = reinterpret_cast<unsigned char*>(&(*metadata)[at]);
            if (!ReadAt(in, pos, bytes, CHUNK_HEADER + len)) return metadata->resize(at);
        }
        if (pos + CHUNK_HEADER + len > in.size) return;
        pos = NextChunk(in, pos + whole, len % 2 == 1, stop);
    }
}

}  // namespace

void GET_ATTRIBUTES(int track, const char* path, uint32_t* channels, uint32_t* data_offset,
                    uint32_t* sample_rate, uint32_t* bytes_per_sample, uint32_t* bits_per_sample,
                    uint64_t* data_end, FileId* identity, std::string* metadata, bool every,
                    uint32_t* format, uint32_t* valid_bits) {
    // Only a regular file is a recording. A folder, a device or a FIFO is none, and is refused
    // before it is opened: opening a FIFO would let its waiting writer go on into a closed pipe.
    FileId looked{};
    if (!RegularFileIdentity(path, &looked)) Fail(MSG_NO_FILE, 2, path);
    Input in{};
    in.file = OpenForReading(path);
    if (in.file == nullptr) Fail(MSG_NO_FILE, 2, path);
    if (!StreamIdentity(in.file, identity)) Fail(MSG_READ, 2);
    // The file opened must be the regular file looked at, not something put in its place
    // meanwhile. Where inode numbers are made up as files are brought into memory (FAT, exFAT),
    // the number can change between the look and the opening: the name is looked at once more,
    // now that the open file holds its number.
    if (!SameFile(*identity, looked) &&
        !(RegularFileIdentity(path, &looked) && SameFile(*identity, looked))) {
        Fail(MSG_NO_FILE, 2, path);
    }
    in.size = identity->size;
    // Every tag and field the scan may look at lies in the window, so one read serves it all.
    in.got = std::fread(in.window, 1, sizeof in.window, in.file);
    if (std::ferror(in.file)) Fail(MSG_READ, 2);

    uint64_t fmt = 0, data = 0, end = in.size;
    const bool walked = WalkChunks(in, &fmt, &data, &end);
    bool have_fmt = walked;
    if (!walked) {
        const long found = FindTag(in, "fmt");
        // Read on as if the tag stood at the last place tried: a file without one is then
        // judged by whatever bytes stand there, and almost always refused as not stereo.
        if (found < 0) std::printf(MSG_NO_FORMAT "\n");
        have_fmt = found >= 0;
        fmt = static_cast<uint64_t>(found < 0 ? PROBE_LAST_TAG_POS : found);
    }
    channels[track] = Field(in, fmt + FMT_CHANNELS, 2);
    if (!every && channels[track] != 2) Fail(MSG_NOT_STEREO, 1);
    if (every && channels[track] == 1) Fail(MSG_ONE_CHANNEL, 1);
    if (every && (channels[track] == 0 || channels[track] > MOST_CHANNELS)) Fail(MSG_CHANNELS, 1);
    const uint32_t bits = bits_per_sample[track] = Field(in, fmt + FMT_BITS, 2);
    if (!every && bits != 16 && bits != 24) Fail(MSG_BITS, 1);
    // Compressed audio (AC-3, DTS, AAC...) also declares 2 channels and 16 bits; its code says
    // what it is. Without a format tag, the code is not known: the samples are taken for PCM.
    const uint32_t code = Field(in, fmt + FMT_CODE, 2);
    const bool extensible = have_fmt && code == CODE_EXTENSIBLE;
    const uint32_t kind = !have_fmt    ? CODE_PCM
                          : extensible ? Field(in, fmt + FMT_SUBFORMAT, 2)
                                       : code;
    if (!every && kind != CODE_PCM) Fail(MSG_NOT_PCM, 1);
    const bool pcm = kind == CODE_PCM && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
    if (every && !pcm && !(kind == CODE_FLOAT && (bits == 32 || bits == 64))) Fail(MSG_FORMATS, 1);
    format[track] = kind;
    // The bits a sample holds of its container's, which only the extensible form says (0: all);
    // a default split's outputs stay plain PCM whatever it says.
    const uint32_t valid = extensible && every ? Field(in, fmt + FMT_VALID_BITS, 2) : 0;
    valid_bits[track] = valid == 0 || valid > bits ? bits : valid;
    bytes_per_sample[track] = bits / 8;
    sample_rate[track] = Field(in, fmt + FMT_SAMPLE_RATE, 4);

    if (!walked) {
        const long found = FindTag(in, "data");
        if (found < 0) Fail(MSG_NO_DATA, 2);
        data = static_cast<uint64_t>(found);
    }
    // What a chain of chunks carries, before the data and after the samples (past their pad
    // byte), read now from the file the probe holds.
    if (metadata != nullptr && walked) {
        bool seen[2] = {false, false};
        CollectChunks(in, 12, data, seen, channels[track], metadata);
        const uint64_t samples = end - data - CHUNK_HEADER;
        if (end < in.size) {
            CollectChunks(in, NextChunk(in, end + samples % 2, samples % 2 == 1, in.size), in.size,
                          seen, channels[track], metadata);
        }
    }
    // The input stays open to the end of the run, so that its inode number stays its own: the
    // copies then find the same file by its name.
    data_offset[track] = static_cast<uint32_t>(data + CHUNK_HEADER);
    data_end[track] = end;
}
