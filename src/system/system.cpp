// The part of the system layer that both systems share: one record per temporary output, its
// name, which tells whose it is, and its removal on a failure or a signal.
#include "system.h"

#include <algorithm>
#include <atomic>
#include <ctime>

#include "system_private.h"

namespace {

// A temporary output: its name, the descriptor it was created with (held open until it is
// renamed or removed, so that its inode can't go to another file meanwhile), and the identity
// fstat gave of that descriptor.
struct Temporary {
    std::string name;
    intptr_t fd = NO_DESCRIPTOR;
    FileId id{};
};

// Every output's (64, a take's most channels), and those a lock is written under before it is
// published: the turn's and two breakers'.
constexpr int MAX_TEMPORARIES = 64 + 3;
Temporary temporaries[MAX_TEMPORARIES];
// The records a signal handler may act on: set once a record is complete, taken back by an
// atomic exchange, so that the handler (on a thread of its own on Windows) and the main thread
// never both close or remove one temporary.
std::atomic<Temporary*> recorded[MAX_TEMPORARIES]{};
static_assert(std::atomic<Temporary*>::is_always_lock_free, "read in a signal handler");

// Takes temp's record back; nullptr when someone else already did.
Temporary* Take(int temp) {
    return recorded[temp].exchange(nullptr);
}

// Closes and removes temp: closed first, because a FUSE file system removes a file still open
// by renaming it to a hidden name, which fails on a full volume.
void Discard(int temp) {
    const Temporary* t = Take(temp);
    if (t == nullptr) return;
    CloseDescriptor(t->fd);
    RemoveName(t->name.c_str());
}

// temp's record while it is recorded; nullptr otherwise.
const Temporary* Recorded(int temp) {
    return temp >= 0 && temp < MAX_TEMPORARIES ? recorded[temp].load() : nullptr;
}

// FNV-1a of text: a short tag of a longer identity.
uint32_t Tag(const std::string& text) {
    uint32_t hash = 2166136261u;
    for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    return hash;
}

// The parts of a temporary's name that tell whose it is: this machine, its boot, the process and
// its start.
void OwnerTags(const Holder& me, uint32_t tags[4]) {
    tags[0] = Tag(me.host + '\n' + me.machine);
    tags[1] = Tag(me.boot);
    tags[2] = static_cast<uint32_t>(me.pid);
    tags[3] = static_cast<uint32_t>(me.start);
}

// The width of the progress line shown, 0 when none is; and whether standard output was closed.
std::atomic<size_t> progress_width{0};
bool output_closed = false;
constexpr size_t PROGRESS_MOST = 64;

constexpr char TEMPORARY_SHAPE[] = "quenlor2-%08x%08x-%08x-%08x-%08x.part";
constexpr char BACKUP_SHAPE[] = "quenlor2-%08x%08x-%08x-%08x-%08x.prev";

// Reads the tags of a name of shape into theirs; false when name has another shape.
bool ReadTags(const std::string& name, const char* shape, unsigned theirs[5]) {
    if (name.size() != TEMPORARY_NAME_LENGTH ||
        std::sscanf(name.c_str(), shape, &theirs[0], &theirs[1], &theirs[2], &theirs[3],
                    &theirs[4]) != 5) {
        return false;
    }
    char again[TEMPORARY_NAME_LENGTH + 1];
    std::snprintf(again, sizeof again, shape, theirs[0], theirs[1], theirs[2], theirs[3],
                  theirs[4]);
    return name == again;
}

}  // namespace

bool SameFile(const FileId& a, const FileId& b) {
    return a.device == b.device && a.inode == b.inode && a.inode_high == b.inode_high;
}

bool Unchanged(const FileId& a, const FileId& b) {
    return SameFile(a, b) && a.size == b.size && a.mtime == b.mtime;
}

std::FILE* CreateTemporary(const char* path, int* temp) {
    int slot = 0;
    while (slot < MAX_TEMPORARIES && recorded[slot].load() != nullptr) ++slot;
    if (slot == MAX_TEMPORARIES) return nullptr;
    Temporary& t = temporaries[slot];
    t.fd = NO_DESCRIPTOR;
    bool taken = true;
    for (int attempt = 0; attempt < 100 && taken; ++attempt) {
        t.name = TemporaryName(path);
        // Blocked, so that a signal finds the new file recorded, or not yet made.
        BlockSignals();
        t.fd = CreateNew(t.name.c_str(), &taken);
        if (t.fd != NO_DESCRIPTOR) recorded[slot].store(&t);
        RestoreSignals();
    }
    if (t.fd == NO_DESCRIPTOR) return nullptr;
    std::FILE* file = nullptr;
    if (DescriptorIdentity(t.fd, &t.id)) file = StreamOnDuplicate(t.fd, false);
    if (file == nullptr) {
        BlockSignals();
        Discard(slot);
        RestoreSignals();
    }
    *temp = slot;
    return file;
}

const char* TemporaryPath(int temp) {
    const Temporary* t = Recorded(temp);
    return t != nullptr ? t->name.c_str() : nullptr;
}

const FileId* TemporaryIdentity(int temp) {
    const Temporary* t = Recorded(temp);
    return t != nullptr ? &t->id : nullptr;
}

intptr_t TemporaryDescriptor(int temp) {
    const Temporary* t = Recorded(temp);
    return t != nullptr ? t->fd : NO_DESCRIPTOR;
}

bool StillOurs(int temp) {
    const Temporary* t = Recorded(temp);
    FileId now{};
    return t != nullptr && NameIdentity(t->name.c_str(), &now) && SameFile(now, t->id);
}

intptr_t Release(int temp) {
    const Temporary* t = temp >= 0 && temp < MAX_TEMPORARIES ? Take(temp) : nullptr;
    return t != nullptr ? t->fd : NO_DESCRIPTOR;
}

std::string TemporaryName(const char* path, bool backup) {
    static unsigned counter = 0;
    Holder me;
    ThisProcess(&me);
    uint32_t tags[4];
    OwnerTags(me, tags);
    const unsigned mix = static_cast<unsigned>(std::clock()) * 2246822519u ^
                         (++counter * 3266489917u) ^
                         static_cast<unsigned>(reinterpret_cast<uintptr_t>(&counter));
    char name[TEMPORARY_NAME_LENGTH + 1];
    std::snprintf(name, sizeof name, backup ? BACKUP_SHAPE : TEMPORARY_SHAPE, tags[0], tags[1],
                  tags[2], tags[3], mix);
    return std::string(path, NameStart(path)) + name;
}

bool MadeBy(const std::string& name, const Holder& holder, bool backup) {
    unsigned theirs[5] = {};
    uint32_t tags[4];
    OwnerTags(holder, tags);
    return ReadTags(name, backup ? BACKUP_SHAPE : TEMPORARY_SHAPE, theirs) &&
           std::equal(tags, tags + 4, theirs);
}

bool LeftByDeadRun(const std::string& name) {
    unsigned theirs[5] = {};
    Holder me;
    ThisProcess(&me);
    uint32_t ours[4];
    OwnerTags(me, ours);
    // Another machine's, or not a name this program made.
    if (!ReadTags(name, TEMPORARY_SHAPE, theirs) || theirs[0] != ours[0]) return false;
    if (theirs[1] != ours[1]) return true;  // made before this machine last started
    uint64_t start = 0;
    return !StartOf(theirs[2], &start) ||
           (start != UNKNOWN_START && static_cast<uint32_t>(start) != theirs[3]);
}

std::FILE* ReopenTemporary(int temp) {
    return StillOurs(temp) ? StreamOnDuplicate(temporaries[temp].fd, true) : nullptr;
}

bool ReserveSpace(int temp, uint64_t size) {
    const Temporary* t = Recorded(temp);
    return t != nullptr && Allocate(t->fd, size);
}

void DiscardTemporaries() {
    for (int temp = 0; temp < MAX_TEMPORARIES; ++temp) Discard(temp);
}

void ShowProgress(const std::string& line) {
    // Spaces cover what is left of a longer line before it.
    const size_t width = std::min(line.size(), PROGRESS_MOST);
    const size_t before = progress_width.exchange(width);
    const std::string text =
        "\r" + line.substr(0, width) + std::string(before > width ? before - width : 0, ' ');
    WriteError(text.data(), text.size());
}

void EraseProgress() {
    const size_t width = progress_width.exchange(0);
    if (width == 0) return;
    char blank[PROGRESS_MOST + 2];
    blank[0] = '\r';
    for (size_t k = 1; k <= width; ++k) blank[k] = ' ';
    blank[width + 1] = '\r';
    WriteError(blank, width + 2);
}

bool OutputWasClosed() {
    return output_closed;
}

void NoteOutputClosed() {
    output_closed = true;
}

void RemoveTemporary(int temp) {
    BlockSignals();
    if (temp >= 0 && temp < MAX_TEMPORARIES) Discard(temp);
    RestoreSignals();
}

void RemoveTemporaries() {
    BlockSignals();
    DiscardTemporaries();
    RestoreSignals();
}
