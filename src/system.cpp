// The part of the system layer that both systems share: one record per temporary output, its
// removal on a failure or a signal, and the pair's replacement with its ordered undo.
#include "system.h"

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

constexpr int MAX_TEMPORARIES = 2;
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

// Closes temp's descriptor once its name is no longer the program's (renamed into place).
void Release(int temp) {
    const Temporary* t = Take(temp);
    if (t != nullptr) CloseDescriptor(t->fd);
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

// Whether temp is recorded and its name still leads to the file it was created as.
bool StillOurs(int temp) {
    const Temporary* t = Recorded(temp);
    FileId now{};
    return t != nullptr && NameIdentity(t->name.c_str(), &now) && SameFile(now, t->id);
}

// A short name of fixed length in path's folder, different from one attempt to the next, so
// that it fits wherever the output's own name fits.
std::string TemporaryName(const char* path) {
    static unsigned counter = 0;
    const unsigned mix =
        ProcessId() * 2654435761u ^ static_cast<unsigned>(std::clock()) * 2246822519u ^
        (++counter * 3266489917u) ^ static_cast<unsigned>(reinterpret_cast<uintptr_t>(&counter));
    char name[32];
    std::snprintf(name, sizeof name, "quenlor2-%08x.part", mix);
    return std::string(path, NameStart(path)) + name;
}

// What stood at the left output's name before it was replaced, and how it is kept.
enum class Aside {
    NOTHING,  // no file stood there
    LINKED,   // the backup is a hard link to it; the output's name still leads to it
    MOVED,    // it was renamed to the backup; the output's name is free
    FAILED,   // it can't be kept (a folder, or a call failed); nothing was done
};

// Keeps the file at path under a new name in its folder: a hard link where the file system has
// them (FAT, exFAT and some shares don't), a rename otherwise; never over an existing file.
Aside SetAside(const char* path, std::string* backup) {
    bool links = true;
    for (int attempt = 0; attempt < 100; ++attempt) {
        *backup = TemporaryName(path);
        const Naming named =
            links ? HardLink(path, backup->c_str()) : RenameNoReplace(path, backup->c_str());
        if (named == Naming::DONE) return links ? Aside::LINKED : Aside::MOVED;
        if (named == Naming::NO_SOURCE) return Aside::NOTHING;
        if (named == Naming::UNSUPPORTED && links) {
            // link(2) refuses a folder as it refuses a file system without links; a folder
            // can't be replaced by a file anyway.
            const Entry entry = EntryAt(path);
            if (entry == Entry::MISSING) return Aside::NOTHING;
            if (entry != Entry::OTHER) return Aside::FAILED;
            links = false;
        } else if (named != Naming::TAKEN) {
            return Aside::FAILED;
        }
    }
    return Aside::FAILED;
}

// Renames backup over path; where the file system refuses a replacing rename (ntfs-3g does for
// long names), removes path and renames into the free name.
bool PutBack(const std::string& backup, const char* path) {
    if (RenameOver(backup.c_str(), path)) return true;
    RemoveName(path);
    return RenameOver(backup.c_str(), path);
}

}  // namespace

bool SameFile(const FileId& a, const FileId& b) {
    return a.device == b.device && a.inode == b.inode;
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
    if (file == nullptr) Discard(slot);
    *temp = slot;
    return file;
}

std::FILE* ReopenTemporary(int temp) {
    return StillOurs(temp) ? StreamOnDuplicate(temporaries[temp].fd, true) : nullptr;
}

bool ReplacePair(int left_temp, const char* left, int right_temp, const char* right,
                 std::string* kept) {
    std::string backup;
    Aside aside = Aside::FAILED;
    bool whole = false;
    // Flushed before the lock, so that other runs and signals don't wait on the disk: a crash
    // after a rename must find the renamed file whole.
    const Temporary* l = Recorded(left_temp);
    const Temporary* r = Recorded(right_temp);
    if (l == nullptr || r == nullptr || !SyncData(l->fd) || !SyncData(r->fd)) return false;
    const intptr_t lock = LockPair(left);
    BlockSignals();
    if (!StillOurs(left_temp) || !StillOurs(right_temp)) goto unlock;
    if (!CopyMode(left, l->fd) || !CopyMode(right, r->fd)) goto unlock;
    // The previous left output is kept until the right one is in place, to be put back if it
    // can't be.
    aside = SetAside(left, &backup);
    if (aside == Aside::FAILED) goto unlock;
    if (!RenameOver(l->name.c_str(), left)) goto restore_left;
    Release(left_temp);
    if (!RenameOver(r->name.c_str(), right)) goto undo_left;
    Release(right_temp);
    if (aside != Aside::NOTHING && !RemoveName(backup.c_str())) *kept = backup;
    // "done" only once the renames are on disk too.
    whole = SyncFolder(left);
    goto unlock;

undo_left:  // the new left output stands at left
    if (aside == Aside::NOTHING) {
        RemoveName(left);
    } else if (!PutBack(backup, left)) {
        *kept = backup;  // the only copy of the previous left output: never removed
    }
    goto unlock;
restore_left:  // left leads to the previous output, or, when it was moved aside, to nothing
    if (aside == Aside::LINKED && !RemoveName(backup.c_str())) *kept = backup;
    if (aside == Aside::MOVED && !PutBack(backup, left)) *kept = backup;
unlock:
    RestoreSignals();
    UnlockPair(lock);
    return whole;
}

void RemoveTemporaries() {
    for (int temp = 0; temp < MAX_TEMPORARIES; ++temp) Discard(temp);
}
