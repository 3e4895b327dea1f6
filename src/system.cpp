// The part of the system layer that both systems share: which temporaries are not yet in
// place, their names, and their removal on a failure or an interrupt.
#include "system.h"

#include <cerrno>
#include <ctime>

#include "system_private.h"

namespace {

// The temporaries not yet put in place: names kept here, so that an interrupt handler can read
// them while nothing changes them, and the identity each had when it was made.
constexpr int MAX_TEMPORARIES = 2;
std::string temporary_names[MAX_TEMPORARIES];
const char* volatile temporaries[MAX_TEMPORARIES];
uint64_t created[MAX_TEMPORARIES][ID_WORDS];
// Each held open while noted: removed by someone else, its file number stays its own, so a file
// made again under its name can't pass for it.
volatile intptr_t pins[MAX_TEMPORARIES] = {-1, -1};

// The first slot free for a temporary; MAX_TEMPORARIES when there is none.
int FreeSlot() {
    int slot = 0;
    while (slot < MAX_TEMPORARIES && temporaries[slot] != nullptr) ++slot;
    return slot;
}

// The slot that notes temp; MAX_TEMPORARIES when none does.
int SlotOf(const char* temp) {
    int slot = 0;
    while (slot < MAX_TEMPORARIES &&
           (temporaries[slot] == nullptr || temporary_names[slot] != temp)) {
        ++slot;
    }
    return slot;
}

// Whether id is the file that the temporary in slot was made as.
bool IsCreated(int slot, const uint64_t* id) {
    return slot < MAX_TEMPORARIES && id[ID_DEVICE] == created[slot][ID_DEVICE] &&
           id[ID_FILE] == created[slot][ID_FILE];
}

// Whether the name temp still leads to the temporary that was made under it.
bool StillCreated(const char* temp) {
    uint64_t id[ID_WORDS];
    return PathIdentity(temp, id) && IsCreated(SlotOf(temp), id);
}

void Forget(const char* temp) {
    const int slot = SlotOf(temp);
    if (slot == MAX_TEMPORARIES) return;
    temporaries[slot] = nullptr;
    Unpin(pins[slot]);
    pins[slot] = -1;
}

// A short name of fixed length in path's folder, different from one attempt to the next, so
// that it fits wherever the output's own name fits.
std::string TemporaryName(const char* path, unsigned seed) {
    static unsigned counter = 0;
    const unsigned mix = seed * 2654435761u ^ static_cast<unsigned>(std::clock()) * 2246822519u ^
                         (++counter * 3266489917u) ^
                         static_cast<unsigned>(reinterpret_cast<uintptr_t>(&counter));
    char name[32];
    std::snprintf(name, sizeof name, "quenlor2-%08x.part", mix);
    const std::string folder(path, NameStart(path));
    return folder + name;
}

}  // namespace

std::FILE* CreateTemporary(const char* path, std::string* temp) {
    const int slot = FreeSlot();
    if (slot == MAX_TEMPORARIES) return nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary_names[slot] = TemporaryName(path, ProcessId());
        HoldInterrupts(true);
        std::FILE* file = CreateNew(temporary_names[slot].c_str());
        if (file != nullptr) {
            temporaries[slot] = temporary_names[slot].c_str();
            pins[slot] = Pin(temporaries[slot]);
        }
        const int error = errno;
        HoldInterrupts(false);
        if (file != nullptr && !FileIdentity(file, created[slot])) {
            std::fclose(file);
            return nullptr;  // noted, so the failure's cleanup removes it
        }
        if (file != nullptr) {
            *temp = temporary_names[slot];
            return file;
        }
        if (error != EEXIST) return nullptr;
    }
    return nullptr;
}

std::FILE* ReopenTemporary(const char* temp) {
    std::FILE* file = OpenExisting(temp);
    uint64_t id[ID_WORDS];
    if (file != nullptr && (!FileIdentity(file, id) || !IsCreated(SlotOf(temp), id))) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

bool ReplacePair(const char* left_temp, const char* left, const char* right_temp,
                 const char* right) {
    const intptr_t lock = LockPair(left);
    HoldInterrupts(true);
    bool whole = false;
    if (StillCreated(left_temp) && StillCreated(right_temp)) {
        KeepMode(left, left_temp);
        KeepMode(right, right_temp);
        // The left output is kept under a name of its own until the right one is in place, so
        // that a failure can put it back.
        const std::string backup = TemporaryName(left, ProcessId());
        const int kept = KeepAside(left, backup.c_str());
        const bool left_placed = kept != KEPT_NONE && RenameOver(left_temp, left);
        if (left_placed) Forget(left_temp);
        whole = left_placed && RenameOver(right_temp, right);
        if (whole) Forget(right_temp);
        // The left output as it was: the backup gone on success, put back on failure where the
        // left name no longer shows it, and no new left output where there was none.
        const bool put_back = !whole && (left_placed || kept == KEPT_MOVED);
        if (kept == KEPT_LINKED || kept == KEPT_MOVED) {
            if (put_back) {
                RenameOver(backup.c_str(), left);
            } else {
                RemoveFile(backup.c_str());
            }
        } else if (kept == KEPT_NOTHING && left_placed && !whole) {
            RemoveFile(left);
        }
    }
    HoldInterrupts(false);
    UnlockPair(lock);
    return whole;
}

void RemoveTemporaries() {
    for (int slot = 0; slot < MAX_TEMPORARIES; ++slot) {
        const char* name = temporaries[slot];  // read once: the main thread may clear it meanwhile
        if (name != nullptr) RemoveFile(name);
        temporaries[slot] = nullptr;
        const intptr_t pin = pins[slot];
        pins[slot] = -1;
        Unpin(pin);
    }
}
