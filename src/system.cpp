// The part of the system layer that both systems share: one record per temporary output, its
// removal on a failure or a signal, and the pair's replacement with its ordered undo.
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

// Takes temp's record back once its name is no longer the program's (renamed into place); its
// descriptor, kept open to flush the file under its new name, is the caller's to close.
intptr_t Release(int temp) {
    const Temporary* t = Take(temp);
    return t != nullptr ? t->fd : NO_DESCRIPTOR;
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

// rename(from, to), tried again while it is refused for a moment, then reported as failed.
Naming Patiently(Naming (*rename)(const char*, const char*), const char* from, const char* to) {
    Naming result = rename(from, to);
    for (int waited = 0, step = 10; result == Naming::BUSY && waited < BUSY_WAIT_MS;
         waited += step, step *= 2) {
        Pause(step);
        result = rename(from, to);
    }
    return result == Naming::BUSY ? Naming::FAILED : result;
}

// What became of an output's previous file while the pair is replaced.
enum class Aside {
    NOT_YET,  // nothing was done to it
    NOTHING,  // no file stood at the output's name
    MOVED,    // it was renamed to the backup; the output's name is free for the new one
};

// One output of the pair: its name, its temporary and its previous file.
struct Output {
    const char* name;
    int temp;
    Aside aside = Aside::NOT_YET;
    std::string backup;
    FileId made{};                // the new file, as it is put in place
    intptr_t fd = NO_DESCRIPTOR;  // the new file's, from its rename until the flush
};

// Moves the file at out.name to a new name in its folder, never over an existing file. A
// rename, not a hard link: ntfs-3g leaves a second, cut name of a file with a long name that
// has other links when it is replaced, and FAT and exFAT have no links. False when it can't.
bool SetAside(Output* out) {
    const Entry entry = EntryAt(out->name);
    if (entry == Entry::MISSING) return out->aside = Aside::NOTHING, true;
    if (entry != Entry::OTHER) return false;  // a folder can't be replaced by a file
    for (int attempt = 0; attempt < 100; ++attempt) {
        out->backup = TemporaryName(out->name);
        const Naming moved = Patiently(RenameNoReplace, out->name, out->backup.c_str());
        if (moved == Naming::DONE) return out->aside = Aside::MOVED, true;
        if (moved == Naming::NO_SOURCE) return out->aside = Aside::NOTHING, true;
        if (moved != Naming::TAKEN) return false;
    }
    return false;
}

// Renames backup to path, over the new file when it stands there (placed); where the file
// system refuses a replacing rename (ntfs-3g does for long names), removes the new file first.
bool PutBack(const std::string& backup, const char* path, bool placed) {
    if (Patiently(RenameOver, backup.c_str(), path) == Naming::DONE) return true;
    if (placed) RemoveName(path);
    return Patiently(RenameOver, backup.c_str(), path) == Naming::DONE;
}

// Gives out its previous file back, or frees its name where none stood, once the new file may
// stand there (placed); records in kept the backup that can't be given back its name.
void GiveBack(const Output& out, bool placed, std::string* kept) {
    if (out.aside == Aside::MOVED && !PutBack(out.backup, out.name, placed)) *kept = out.backup;
    if (out.aside == Aside::NOTHING && placed) RemoveName(out.name);
}

// Whether two looks at a file saw it unchanged, by its device, size and time but not its file
// number: a FUSE file system (sshfs, exFAT) may number a file anew each time it looks it up.
bool SameStamp(const FileId& a, const FileId& b) {
    return a.device == b.device && a.size == b.size && a.mtime == b.mtime;
}

// Whether out's name is known to lead to another file than the new one put there.
bool ReplacedSince(const Output& out) {
    FileId now{};
    return NameIdentity(out.name, &now) && !SameFile(now, out.made) && !SameStamp(now, out.made);
}

// Closes the new files' descriptors still open.
void CloseNew(Output (&pair)[2]) {
    for (Output& out : pair) {
        if (out.fd != NO_DESCRIPTOR) CloseDescriptor(out.fd), out.fd = NO_DESCRIPTOR;
    }
}

// Removes the previous outputs moved aside.
void DropBackups(const Output (&pair)[2]) {
    for (const Output& out : pair) {
        if (out.aside == Aside::MOVED) RemoveName(out.backup.c_str());
    }
}

// The pair's turn: a lock file of the program's own beside the outputs, made with an exclusive
// create, which a network share's server decides between machines just as a local file system
// does between processes (a flock binds one client only). It is held for a few renames; one
// seen unchanged for STALE_MS was left by a run that was killed, and is taken over.
constexpr int STALE_MS = 3000;
constexpr int TURN_WAIT_MS = 10000;

std::string LockName(const char* left) {
    uint32_t hash = 2166136261u;
    for (const char* c = left + NameStart(left); *c != '\0'; ++c) {
        hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
    }
    char name[32];
    std::snprintf(name, sizeof name, "quenlor2-%08x.lock", hash);
    return std::string(left, NameStart(left)) + name;
}

// Removes the lock at name when it is still the one seen unchanged; a new run's lock, taken by
// mistake in a race with another run doing the same, is put back.
void TakeOver(const std::string& name, const FileId& stale) {
    const std::string aside = TemporaryName(name.c_str());
    FileId moved{};
    BlockSignals();
    if (RenameNoReplace(name.c_str(), aside.c_str()) == Naming::DONE) {
        if (OpenIdentity(aside.c_str(), &moved) && SameStamp(moved, stale)) {
            RemoveName(aside.c_str());
        } else if (RenameNoReplace(aside.c_str(), name.c_str()) != Naming::DONE) {
            RemoveName(aside.c_str());
        }
    }
    RestoreSignals();
}

// Waits for the turn to replace the pair at left and takes it, returning with signals blocked;
// false, with signals as they were, when it can't be had within TURN_WAIT_MS.
bool LockPair(const char* left, std::string* lock) {
    *lock = LockName(left);
    FileId seen{};
    int same_for = -1;  // how long the lock has been seen unchanged; -1: not yet seen
    for (int waited = 0, step = 1; waited < TURN_WAIT_MS;
         waited += step, step = std::min(step * 2, 50)) {
        bool taken = false;
        BlockSignals();
        const intptr_t fd = CreateNew(lock->c_str(), &taken);
        if (fd != NO_DESCRIPTOR) return CloseDescriptor(fd), true;
        RestoreSignals();
        // Whatever stopped the create is waited out: a lock another run holds, but also an
        // SFTP server's bare refusal to create over a file, or Windows' while a file given up
        // is still open elsewhere. The lock is opened, not looked up: a share's client may
        // remember a lock its server has long removed, and refuse to create one until told.
        FileId now{};
        if (!OpenIdentity(lock->c_str(), &now) || same_for < 0 || !SameStamp(now, seen)) {
            seen = now;
            same_for = 0;
        } else if (same_for >= STALE_MS) {
            TakeOver(*lock, seen);
            same_for = -1;
        }
        Pause(step);
        same_for += same_for < 0 ? 0 : step;
    }
    return false;
}

// Gives up the turn and restores the signals.
void UnlockPair(const std::string& lock) {
    RemoveName(lock.c_str());
    RestoreSignals();
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

std::FILE* ReopenTemporary(int temp) {
    return StillOurs(temp) ? StreamOnDuplicate(temporaries[temp].fd, true) : nullptr;
}

bool ReserveSpace(int temp, uint64_t size) {
    const Temporary* t = Recorded(temp);
    return t != nullptr && Allocate(t->fd, size);
}

bool ReplacePair(int left_temp, const char* left, int right_temp, const char* right,
                 std::string kept[2]) {
    Output pair[2] = {{left, left_temp, Aside::NOT_YET, {}, {}},
                      {right, right_temp, Aside::NOT_YET, {}, {}}};
    std::string lock;
    int placed = 0;
    bool flushed = false;
    for (Output& out : pair) {
        const Temporary* t = Recorded(out.temp);
        // The mode before the flush, so that it covers it too; the flush before the turn, so
        // that other runs and signals don't wait on the disk.
        if (t == nullptr || !CopyMode(out.name, t->fd) || !SyncFile(t->fd)) return false;
    }
    if (!LockPair(left, &lock)) return false;
    if (!StillOurs(left_temp) || !StillOurs(right_temp)) goto give_back;
    for (Output& out : pair) {
        if (!SetAside(&out)) goto give_back;
    }
    for (; placed < 2; ++placed) {
        Output& out = pair[placed];
        const Temporary* t = Recorded(out.temp);
        // A signal that came in the turn leaves the previous pair, as one before it does.
        if (Interrupted() || !DescriptorIdentity(t->fd, &out.made) ||
            Patiently(RenameOver, t->name.c_str(), out.name) != Naming::DONE) {
            goto give_back;
        }
        out.fd = Release(out.temp);
    }
    // The turn is given up, but not the signals: one that comes now finds the new pair on disk
    // and the previous one gone, not both. The previous pair is kept until the new one is on
    // disk, names included: "done" means that a crash can't take it back. A backup that can't be
    // removed after that is only a copy left behind, as a temporary whose removal fails is.
    RemoveName(lock.c_str());
    flushed = SyncRenamed(left, pair[0].fd, pair[1].fd);
    CloseNew(pair);
    if (flushed) DropBackups(pair);
    RestoreSignals();
    if (flushed) return true;
    if (!LockPair(left, &lock)) {
        for (int side = 0; side < 2; ++side) {
            if (pair[side].aside == Aside::MOVED) kept[side] = pair[side].backup;
        }
        return false;
    }
    // Another run may have put its own pair in place meanwhile: that one stays.
    if (ReplacedSince(pair[0]) || ReplacedSince(pair[1])) {
        DropBackups(pair);
        UnlockPair(lock);
        return false;
    }

give_back:  // in the turn: each output as it was, the right one first
    CloseNew(pair);
    for (int side = 1; side >= 0; --side) GiveBack(pair[side], side < placed, &kept[side]);
    UnlockPair(lock);
    SyncRenamed(left, NO_DESCRIPTOR, NO_DESCRIPTOR);
    return false;
}

void DiscardTemporaries() {
    for (int temp = 0; temp < MAX_TEMPORARIES; ++temp) Discard(temp);
}

void RemoveTemporaries() {
    BlockSignals();
    DiscardTemporaries();
    RestoreSignals();
}
