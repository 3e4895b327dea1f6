// The part of the system layer that both systems share: which temporaries are not yet in
// place, their names, and their removal on a failure or an interrupt.
#include "system.h"

#include <cerrno>
#include <ctime>

#include "system_private.h"

namespace {

// The temporaries not yet put in place: names kept here, so that an interrupt handler can read
// them while nothing changes them.
constexpr int MAX_TEMPORARIES = 2;
std::string temporary_names[MAX_TEMPORARIES];
const char* volatile temporaries[MAX_TEMPORARIES];

// The first slot free for a temporary; MAX_TEMPORARIES when there is none.
int FreeSlot() {
    int slot = 0;
    while (slot < MAX_TEMPORARIES && temporaries[slot] != nullptr) ++slot;
    return slot;
}

// A name for a new file beside path, different from one attempt to the next.
std::string TemporaryName(const char* path, unsigned seed) {
    static unsigned counter = 0;
    const unsigned mix =
        seed * 2654435761u ^ static_cast<unsigned>(std::clock()) ^ (++counter * 40503u);
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".part-%06x", mix & 0xFFFFFFu);
    return std::string(path) + suffix;
}

}  // namespace

std::FILE* CreateTemporary(const char* path, std::string* temp) {
    const int slot = FreeSlot();
    if (slot == MAX_TEMPORARIES) return nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary_names[slot] = TemporaryName(path, ProcessId());
        HoldInterrupts(true);
        std::FILE* file = CreateNew(temporary_names[slot].c_str());
        if (file != nullptr) temporaries[slot] = temporary_names[slot].c_str();
        const int error = errno;
        HoldInterrupts(false);
        if (file != nullptr) {
            *temp = temporary_names[slot];
            return file;
        }
        if (error != EEXIST) return nullptr;
    }
    return nullptr;
}

bool ReplaceWithTemporary(const char* temp, const char* path) {
    HoldInterrupts(true);
    const bool renamed = RenameOver(temp, path);
    for (auto& t : temporaries) {
        if (renamed && t != nullptr && std::string(t) == temp) t = nullptr;
    }
    HoldInterrupts(false);
    return renamed;
}

void RemoveTemporaries() {
    for (auto& t : temporaries) {
        const char* name = t;  // read once: the main thread may clear the slot meanwhile
        if (name != nullptr) RemoveFile(name);
        t = nullptr;
    }
}
