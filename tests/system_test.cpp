// The shared system layer over a fake of its system calls, which answers as POSIX does: a run's
// temporaries made, reopened and put in place as a pair, with each call failing in turn, and
// with every call failing from one on (a failure during the undo).
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "system_private.h"

namespace {

using Names = std::map<std::string, int>;  // each name and the file it leads to

// One folder, the descriptors open, and the plan of which call fails; every call is recorded.
struct Fake {
    Names names;
    std::set<std::string> folders, failed_unlinks;
    std::map<intptr_t, int> open;
    bool blocked = false, fail_after = false;
    bool replace = true;      // whether a rename may replace what stands at its new name
    int collisions = 0;       // how many of the next temporary names some other file holds
    int busy = 0;             // how many of the next renames another program's open file stops
    bool stale_lock = false;  // whether a run that was killed left its lock file
    int fail_at = 0, unblocked_changes = 0, outside_turn = 0, flushed_in_turn = 0;
    int bad_closes = 0, next_file = 100, paused_ms = 0;
    Names at_flush;  // what another run puts at the outputs while the folder is flushed
    intptr_t next_fd = 3;
    std::vector<std::string> calls;
} fake;
constexpr int OTHER_FILE = 7;  // the file that holds a colliding name or a stale lock
constexpr int FIRST_NEW = 100;

bool Ends(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Whether the run holds the pair's turn: a lock file of its own stands, not yet given up.
bool InTurn() {
    for (const auto& [name, file] : fake.names) {
        if (Ends(name, ".lock") && file >= FIRST_NEW && fake.failed_unlinks.count(name) == 0) {
            return true;
        }
    }
    return false;
}

// Records call; true when the plan has it fail.
bool Fails(const std::string& call, bool changes_names = false) {
    fake.calls.push_back(call);
    fake.unblocked_changes += changes_names && !fake.blocked ? 1 : 0;
    const int n = static_cast<int>(fake.calls.size());
    return n == fake.fail_at || (fake.fail_after && fake.fail_at > 0 && n > fake.fail_at);
}

// Records a rename, which must come in the turn when it changes an output's name.
bool Renames(const std::string& from, const std::string& to, const std::string& how = "") {
    const bool output =
        Ends(from, "L.wav") || Ends(from, "R.wav") || Ends(to, "L.wav") || Ends(to, "R.wav");
    fake.outside_turn += output && !InTurn() ? 1 : 0;
    return Fails("rename " + from + " " + to + how, true);
}

bool Exists(const std::string& name) {
    return fake.names.count(name) + fake.folders.count(name) > 0;
}

// Whether a temporary name is taken: by some other file, as planned.
bool Taken(const std::string& name) {
    if (fake.collisions > 0 && !Exists(name)) fake.names[name] = OTHER_FILE, --fake.collisions;
    return Exists(name);
}

// A file's identity: each file of its own size and time.
FileId Id(int file) {
    const auto n = static_cast<uint64_t>(file);
    return FileId{1, n, n, n};
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
bool Interrupted() {
    return Fails("pending signals?");
}
void Pause(int ms) {
    fake.paused_ms += ms;
}
intptr_t CreateNew(const char* name, bool* taken) {
    *taken = false;
    if (fake.stale_lock && Ends(name, ".lock"))
        fake.names[name] = OTHER_FILE, fake.stale_lock = false;
    if (Fails("create " + std::string(name), true) || (*taken = Taken(name))) return NO_DESCRIPTOR;
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
bool OpenIdentity(const char* name, FileId* id) {
    if (Fails("open " + std::string(name)) || fake.names.count(name) == 0) return false;
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
bool Allocate(intptr_t, uint64_t) {
    return true;
}
bool SyncFile(intptr_t fd) {
    fake.flushed_in_turn += InTurn() ? 1 : 0;
    return !Fails("fsync " + std::to_string(fake.open[fd]));
}
bool SyncRenamed(const char*, intptr_t left_fd, intptr_t right_fd) {
    fake.flushed_in_turn += InTurn() ? 1 : 0;
    for (const intptr_t fd : {left_fd, right_fd}) {  // the new files, still open
        fake.bad_closes += fd == NO_DESCRIPTOR || fake.open.count(fd) == 1 ? 0 : 1;
    }
    for (const auto& [name, file] : fake.at_flush) fake.names[name] = file;
    fake.at_flush.clear();
    return !Fails("fsync folder");
}
bool RemoveName(const char* name) {
    if (Fails("unlink " + std::string(name), true)) return fake.failed_unlinks.insert(name), false;
    return fake.failed_unlinks.erase(name), fake.names.erase(name), true;  // ENOENT: removed
}
bool CopyMode(const char* output, intptr_t) {
    return !Fails("chmod like " + std::string(output));
}
Entry EntryAt(const char* name) {
    if (Fails("lstat " + std::string(name))) return Entry::UNKNOWN;
    if (fake.folders.count(name) == 1) return Entry::FOLDER;
    return fake.names.count(name) == 1 ? Entry::OTHER : Entry::MISSING;
}
Naming RenameNoReplace(const char* from, const char* to) {
    if (Renames(from, to, " noreplace")) return Naming::FAILED;
    if (fake.busy > 0) return --fake.busy, Naming::BUSY;
    if (fake.names.count(from) == 0) return Naming::NO_SOURCE;
    if (Taken(to)) return Naming::TAKEN;
    fake.names[to] = fake.names[from];
    return fake.names.erase(from), Naming::DONE;
}
Naming RenameOver(const char* from, const char* to) {
    if (Renames(from, to) || fake.names.count(from) == 0 || fake.folders.count(to) == 1 ||
        (!fake.replace && fake.names.count(to) == 1)) {
        return Naming::FAILED;
    }
    if (fake.busy > 0) return --fake.busy, Naming::BUSY;
    if (fake.names.count(to) == 1 && fake.names[to] == fake.names[from]) return Naming::DONE;
    fake.names[to] = fake.names[from];
    return fake.names.erase(from), Naming::DONE;
}
size_t NameStart(const std::string& path) {
    return path.rfind('/') + 1;
}

namespace {

const char* const LEFT = "takeL.wav";
const char* const RIGHT = "takeR.wav";
// The files of a previous pair, and the numbers the fake gives the two new temporaries.
const Names PREVIOUS = {{LEFT, 1}, {RIGHT, 2}}, NEW = {{LEFT, 100}, {RIGHT, 101}};

int At(const Names& names, const std::string& name) {
    const auto found = names.find(name);
    return found == names.end() ? 0 : found->second;
}

// Where the first call that starts with start and ends with end stands among the calls made.
size_t Call(const std::string& start, const std::string& end = "") {
    size_t k = 0;
    while (k < fake.calls.size() &&
           (fake.calls[k].rfind(start, 0) != 0 || !Ends(fake.calls[k], end))) {
        ++k;
    }
    return k;
}

// What the program does with its temporaries, up to its exit: whether it prints "done", and the
// names a failure reports the previous outputs kept under.
bool RunPair(std::string kept[2]) {
    int temps[2] = {-1, -1};
    bool made = true;
    for (int k = 0; k < 4 && made; ++k) {
        std::FILE* f = k < 2 ? CreateTemporary(k == 0 ? LEFT : RIGHT, &temps[k])
                             : ReopenTemporary(temps[k - 2]);
        made = f != nullptr && std::fclose(f) == 0;
    }
    const bool whole = made && ReplacePair(temps[0], LEFT, temps[1], RIGHT, kept);
    if (!whole) RemoveTemporaries();  // as the failure's exit does
    return whole;
}

struct Case {
    std::string row;
    bool before, replace, stale_lock;
    int collisions;
    const char* folder;  // an output's name that a folder holds
    bool done;
    int busy = 0;  // how many renames another program's open file stops
};

// Whatever call fails, and whatever fails after it: "done" means the new pair, its data and
// mode on disk before its names and its names before "done"; otherwise each output shows its
// previous file, or, only when a call failed after the first failure, a message names the file
// that holds it (or, when none stood there, the new one may stay). Nothing else is left but a name
// whose removal failed; no descriptor is leaked or closed twice; every name changes with
// signals blocked; every output's rename comes in the pair's turn, and no flush does; a signal
// pending in the turn before the renames is honoured.
TEST(System, ReplacesThePairAsOneWhateverCallFails) {
    const Case cases[] = {
        {"no previous outputs", false, true, false, 0, nullptr, true},
        {"a previous pair", true, true, false, 0, nullptr, true},
        {"temporary names taken", true, true, false, 3, nullptr, true},
        {"every temporary name taken", true, true, false, 1000, nullptr, false},
        {"a folder at the left output", true, true, false, 0, LEFT, false},
        {"a folder at the right output", true, true, false, 0, RIGHT, false},
        // ntfs-3g refuses to rename over a long name.
        {"replacing renames refused", true, false, false, 0, nullptr, true},
        {"a lock left by a run that was killed", true, true, true, 0, nullptr, true},
        // Windows: a file another program opens for a moment, or keeps open.
        {"renames refused for a moment", true, true, false, 0, nullptr, true, 5},
        {"renames refused for long", true, true, false, 0, nullptr, false, 1000},
    };
    for (const Case& c : cases) {
        int calls = 0;
        for (int fail_at = 0; fail_at <= calls; ++fail_at) {
            for (const bool after : {false, true}) {
                fake = Fake{};
                Names previous = c.before ? PREVIOUS : Names{};
                if (c.folder != nullptr) previous.erase(c.folder), fake.folders = {c.folder};
                fake.names = previous;
                fake.stale_lock = c.stale_lock;
                fake.replace = c.replace;
                fake.collisions = c.collisions;
                fake.busy = c.busy;
                fake.fail_at = fail_at;
                fake.fail_after = after;
                std::string kept[2];
                const bool done = RunPair(kept);
                if (fail_at == 0) calls = static_cast<int>(fake.calls.size());
                const std::string plan = c.row + ", call " + std::to_string(fail_at) +
                                         (after ? " on: " : ": ") +
                                         (fail_at > 0 ? fake.calls[size_t(fail_at) - 1] : "");
                // One failure never keeps a previous output aside.
                EXPECT_TRUE((fail_at > 0 || done == c.done) &&
                            (after || (kept[0].empty() && kept[1].empty())))
                    << plan;
                EXPECT_TRUE(fake.open.empty() && fake.bad_closes == 0) << plan;
                EXPECT_EQ(fake.unblocked_changes + fake.outside_turn + fake.flushed_in_turn, 0)
                    << plan;
                EXPECT_TRUE(!c.stale_lock || fail_at > 0 || fake.paused_ms >= 3000) << plan;
                Names outputs, rest;
                for (const auto& [name, file] : fake.names) {
                    if (file == OTHER_FILE) continue;
                    (name == LEFT || name == RIGHT ? outputs : rest)[name] = file;
                }
                if (done) {
                    EXPECT_EQ(outputs, NEW) << plan;
                    EXPECT_TRUE(plan.find("pending") == std::string::npos || after) << plan;
                    EXPECT_TRUE(
                        Call("chmod like " + std::string(LEFT)) < Call("fsync 100") &&
                        Call("pending signals?") < Call("rename quenlor2-", LEFT) &&
                        Call("fsync 101") < Call("rename quenlor2-", LEFT) &&
                        Call("rename quenlor2-", RIGHT) < Call("fsync folder") &&
                        (c.stale_lock || Call("fsync folder") < Call("unlink quenlor2-", ".part")))
                        << plan;
                }
                for (int side = 0; side < 2 && !done; ++side) {
                    const std::string name = side == 0 ? LEFT : RIGHT;
                    if (!kept[side].empty()) {
                        EXPECT_EQ(At(rest, kept[side]), At(previous, name)) << plan << name;
                        rest.erase(kept[side]);
                    } else {
                        EXPECT_TRUE(At(outputs, name) == At(previous, name) ||
                                    (after && At(previous, name) == 0))
                            << plan << name;
                    }
                }
                for (const auto& [name, file] : rest) {
                    EXPECT_EQ(fake.failed_unlinks.count(name), 1u) << plan << ": " << name;
                }
            }
        }
    }
}

// A run whose folder flush fails gives the previous pair back (above), unless another run put
// its own pair in place after the turn: then that one stays, and the previous outputs' copies go.
TEST(System, LeavesThePairOfARunThatCameMeanwhile) {
    std::string kept[2];
    fake = Fake{};
    fake.names = PREVIOUS;
    RunPair(kept);
    const int flush = static_cast<int>(Call("fsync folder")) + 1;
    const Names other = {{LEFT, 5}, {RIGHT, 6}};
    fake = Fake{};
    fake.names = PREVIOUS;
    fake.at_flush = other;
    fake.fail_at = flush;
    EXPECT_TRUE(!RunPair(kept) && kept[0].empty() && kept[1].empty() && fake.open.empty());
    EXPECT_EQ(fake.names, other);
}

}  // namespace
