// The shared system layer over a fake of its system calls: a run's temporaries made, reopened
// and renamed into place as a pair, with each call failing in turn, and with every call failing
// from one on (a failure during the undo). The outputs then show the previous pair or the new
// one, a previous output is never lost, and nothing else is left.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "system_private.h"

namespace {

using Names = std::map<std::string, int>;  // each name and the file it leads to

// One folder, the descriptors open, and the plan of which call fails; every call is recorded.
struct Fake {
    Names names;
    std::set<std::string> folders;
    std::map<intptr_t, int> open;
    bool links = true, blocked = false, fail_after = false;
    bool replace = true;  // whether a rename may replace what stands at its new name
    int collisions = 0;   // how many of the next backup names some other file holds
    int fail_at = 0, unblocked_changes = 0, bad_closes = 0, next_file = 100;
    std::string watched;  // a name that must lead to a file after every call
    int gaps = 0;         // calls after which it led to none
    intptr_t next_fd = 3;
    std::vector<std::string> calls;
} fake;
constexpr int OTHER_FILE = 7;  // the file that holds a colliding name

// Records call; true when the plan has it fail.
bool Fails(const std::string& call, bool changes_names = false) {
    fake.calls.push_back(call);
    fake.unblocked_changes += changes_names && !fake.blocked ? 1 : 0;
    const int n = static_cast<int>(fake.calls.size());
    return n == fake.fail_at || (fake.fail_after && fake.fail_at > 0 && n > fake.fail_at);
}

// Counts a gap when the watched name leads to no file after a call that changed names.
bool Watch(bool result) {
    fake.gaps += fake.watched.empty() || fake.names.count(fake.watched) == 1 ? 0 : 1;
    return result;
}

bool Exists(const std::string& name) {
    return fake.names.count(name) + fake.folders.count(name) > 0;
}

// Whether a backup's new name is taken: by some other file, as planned.
bool Taken(const std::string& name) {
    if (fake.collisions > 0 && !Exists(name)) fake.names[name] = OTHER_FILE, --fake.collisions;
    return Exists(name);
}

FileId Id(int file) {
    return FileId{1, static_cast<uint64_t>(file), 0, 0};
}

}  // namespace

unsigned ProcessId() {
    return 42;
}
void BlockSignals() {
    fake.calls.push_back("block");
    fake.blocked = true;
}
void RestoreSignals() {
    fake.calls.push_back("restore");
    fake.blocked = false;
}
intptr_t CreateNew(const char* name, bool* taken) {
    *taken = false;
    if (Fails("create " + std::string(name), true) || (*taken = Exists(name))) return NO_DESCRIPTOR;
    fake.names[name] = fake.next_file;
    fake.open[fake.next_fd] = fake.next_file++;
    return fake.next_fd++;
}
bool DescriptorIdentity(intptr_t fd, FileId* id) {
    if (Fails("fstat") || fake.open.count(fd) == 0) return false;
    return *id = Id(fake.open[fd]), true;
}
bool NameIdentity(const char* name, FileId* id) {
    if (Fails("lstat " + std::string(name)) || fake.names.count(name) == 0) return false;
    return *id = Id(fake.names[name]), true;
}
std::FILE* StreamOnDuplicate(intptr_t, bool) {
#ifdef _WIN32
    return Fails("dup") ? nullptr : std::fopen("NUL", "wb");
#else
    return Fails("dup") ? nullptr : std::fopen("/dev/null", "wb");
#endif
}
void CloseDescriptor(intptr_t fd) {
    fake.calls.push_back("close");
    fake.bad_closes += fake.open.erase(fd) == 1 ? 0 : 1;
}
bool SyncData(intptr_t fd) {
    return !Fails("fdatasync " + std::to_string(fake.open[fd]));
}
bool SyncFolder(const char*) {
    return !Fails("fsync folder");
}
bool RemoveName(const char* name) {
    return Watch(!Fails("unlink " + std::string(name)) && fake.names.erase(name) == 1);
}
bool CopyMode(const char* output, intptr_t) {
    return !Fails("chmod like " + std::string(output));
}
Entry EntryAt(const char* name) {
    if (Fails("lstat " + std::string(name))) return Entry::UNKNOWN;
    if (fake.folders.count(name) == 1) return Entry::FOLDER;
    return fake.names.count(name) == 1 ? Entry::OTHER : Entry::MISSING;
}
Naming HardLink(const char* from, const char* to) {
    if (Fails("link " + std::string(from) + " " + to)) return Naming::FAILED;
    if (!fake.links || fake.folders.count(from) == 1) return Naming::UNSUPPORTED;
    if (fake.names.count(from) == 0) return Naming::NO_SOURCE;
    if (Taken(to)) return Naming::TAKEN;
    return fake.names[to] = fake.names[from], Naming::DONE;
}
Naming RenameNoReplace(const char* from, const char* to) {
    if (Fails("rename " + std::string(from) + " " + to + " noreplace", true)) return Naming::FAILED;
    if (fake.names.count(from) == 0) return Naming::NO_SOURCE;
    if (Taken(to)) return Naming::TAKEN;
    fake.names[to] = fake.names[from];
    return fake.names.erase(from), Watch(true), Naming::DONE;
}
bool RenameOver(const char* from, const char* to) {
    if (Fails("rename " + std::string(from) + " " + to, true) || fake.names.count(from) == 0 ||
        fake.folders.count(to) == 1 || (!fake.replace && fake.names.count(to) == 1)) {
        return false;
    }
    fake.names[to] = fake.names[from];
    return Watch(fake.names.erase(from) == 1);
}
intptr_t LockPair(const char*) {
    if (Fails("lock")) return NO_DESCRIPTOR;
    return fake.open[fake.next_fd] = 0, fake.next_fd++;
}
void UnlockPair(intptr_t lock) {
    if (lock != NO_DESCRIPTOR) CloseDescriptor(lock);
}
size_t NameStart(const std::string& path) {
    return path.rfind('/') + 1;
}

namespace {

const char* const LEFT = "takeL.wav";
const char* const RIGHT = "takeR.wav";
// The files of a previous pair, and the numbers the fake gives the two new temporaries.
const Names PREVIOUS = {{LEFT, 1}, {RIGHT, 2}}, NEW = {{LEFT, 100}, {RIGHT, 101}};

int At(const Names& names, const char* name) {
    const auto found = names.find(name);
    return found == names.end() ? 0 : found->second;
}

// Where the first call that starts with start and ends with end stands among the calls made.
size_t Call(const std::string& start, const std::string& end = "") {
    size_t k = 0;
    for (const std::string& c : fake.calls) {
        if (c.rfind(start, 0) == 0 && c.size() >= end.size() &&
            c.compare(c.size() - end.size(), end.size(), end) == 0) {
            break;
        }
        ++k;
    }
    return k;
}

// What the program does with its temporaries, up to its exit: whether it prints "done", and the
// name a failure reports the previous left output kept under.
bool RunPair(std::string* kept) {
    int temps[2] = {-1, -1};
    bool made = true;
    for (int k = 0; k < 4 && made; ++k) {
        std::FILE* f = k < 2 ? CreateTemporary(k == 0 ? LEFT : RIGHT, &temps[k])
                             : ReopenTemporary(temps[k - 2]);
        made = f != nullptr && std::fclose(f) == 0;
    }
    const bool whole = made && ReplacePair(temps[0], LEFT, temps[1], RIGHT, kept);
    if (!whole || !kept->empty()) RemoveTemporaries();  // as the failure's exit does
    return whole && kept->empty();
}

struct Case {
    std::string row;
    bool before, links, replace;
    int collisions;
    const char* folder;  // an output's name that a folder holds
    bool done;
};

TEST(System, ReplacesThePairAsOneWhateverCallFails) {
    const Case cases[] = {
        {"no previous outputs", false, true, true, 0, nullptr, true},
        {"a previous pair", true, true, true, 0, nullptr, true},
        {"a previous pair, links refused", true, false, true, 0, nullptr, true},
        {"backup names taken", true, true, true, 3, nullptr, true},
        {"backup names taken, links refused", true, false, true, 2, nullptr, true},
        {"every backup name taken", true, true, true, 1000, nullptr, false},
        {"a folder at the left output", true, true, true, 0, LEFT, false},
        {"a folder at the right output", true, false, true, 0, RIGHT, false},
        // ntfs-3g refuses to rename over a name of 233 to 250 characters.
        {"replacing renames refused", true, true, false, 0, nullptr, false},
        {"replacing renames and links refused", true, false, false, 0, nullptr, false},
    };
    for (const Case& c : cases) {
        int calls = 0;
        for (int fail_at = 0; fail_at <= calls; ++fail_at) {
            for (const bool after : {false, true}) {
                fake = Fake{};
                Names previous = c.before ? PREVIOUS : Names{};
                if (c.folder != nullptr) previous.erase(c.folder), fake.folders = {c.folder};
                fake.names = previous;
                fake.links = c.links;
                fake.replace = c.replace;
                fake.collisions = c.collisions;
                fake.fail_at = fail_at;
                fake.fail_after = after;
                // Where links are kept, the previous left output is at its name throughout.
                if (c.before && c.links && c.folder == nullptr) fake.watched = LEFT;
                std::string kept;
                const bool done = RunPair(&kept);
                if (fail_at == 0) calls = static_cast<int>(fake.calls.size());
                const std::string plan = c.row + ", call " + std::to_string(fail_at) +
                                         (after ? " on: " : ": ") +
                                         (fail_at > 0 ? fake.calls[size_t(fail_at) - 1] : "");
                Names outputs, rest;
                int others = 0;
                for (const auto& [name, file] : fake.names) {
                    others += file == OTHER_FILE ? 1 : 0;
                    if (file != OTHER_FILE)
                        (name == LEFT || name == RIGHT ? outputs : rest)[name] = file;
                }
                EXPECT_EQ(others, c.collisions - fake.collisions) << plan;
                EXPECT_TRUE(fake.open.empty() && fake.bad_closes == 0) << plan;
                EXPECT_EQ(fake.unblocked_changes, 0) << plan;
                // ...until it is replaced, or unless a failing call took it away.
                EXPECT_TRUE(fake.gaps == 0 || after ||
                            (fail_at > 0 &&
                             fake.calls[size_t(fail_at) - 1].find(LEFT) != std::string::npos))
                    << plan;
                EXPECT_TRUE(fail_at > 0 || (done == c.done && kept.empty())) << plan;
                // The new files' data is on disk before their renames, the folder after them.
                const size_t left_renamed = Call("rename quenlor2-", " takeL.wav"),
                             right_renamed = Call("rename quenlor2-", " takeR.wav"),
                             folder_synced = Call("fsync folder");
                if (done) {
                    EXPECT_EQ(outputs, NEW) << plan;
                    EXPECT_EQ(rest, Names{}) << plan;
                    EXPECT_TRUE(Call("fdatasync 100") < left_renamed &&
                                Call("fdatasync 101") < right_renamed &&
                                right_renamed < folder_synced && folder_synced < fake.calls.size())
                        << plan;
                    continue;
                }
                // The previous left output is at its name, or where the message says; but when only
                // the folder's flush failed, the new pair stands.
                EXPECT_TRUE(kept.empty() || rest[kept] == 1) << plan;
                rest.erase(kept);
                if (folder_synced < fake.calls.size() && folder_synced + 1 >= size_t(fail_at)) {
                    EXPECT_EQ(outputs, NEW) << plan;
                } else if (!kept.empty()) {
                    const int l = At(outputs, LEFT), r = At(outputs, RIGHT);
                    EXPECT_TRUE(l == 100 || l == 1 || l == 0) << plan;
                    EXPECT_TRUE(r == 101 ? l == 100 : r == At(previous, RIGHT)) << plan;
                    EXPECT_TRUE(after || !c.replace || (l == 100) == (r == 101)) << plan;
                } else if (c.before || !after) {
                    EXPECT_EQ(outputs, previous) << plan;
                }
                // Only a temporary whose own removal failed stays.
                EXPECT_TRUE(after || rest.empty() ||
                            (rest.size() == 1 &&
                             fake.calls[size_t(fail_at) - 1] == "unlink " + rest.begin()->first))
                    << plan;
            }
        }
    }
}

}  // namespace
