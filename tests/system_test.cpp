// The shared system layer and the pair's replacement over a fake of the system calls, which
// answers as POSIX does: a run's temporaries made, reopened and put in place as a pair, with each
// call failing in turn, with every call failing from one on (a failure during the undo), and with
// the run killed at each call, then the next run.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "system/system_private.h"
#include "turn/intent.h"
#include "turn/lock.h"
#include "turn/pair.h"

namespace {

using Names = std::map<std::string, int>;  // each name and the file it leads to

// One folder, the descriptors open, and the plan of which call fails; every call is recorded.
struct Fake {
    Names names;
    std::set<std::string> folders, failed_unlinks;
    std::map<intptr_t, int> open;
    std::map<int, std::string> contents;   // what each file holds
    std::map<int, uint64_t> maker;         // the process that made each file
    std::map<uint64_t, uint64_t> running;  // each process that runs, and its start
    std::map<int, intptr_t> locked;        // each file this process holds the kernel lock on
    std::set<int> held_elsewhere;          // files whose kernel lock a live process holds
    std::map<int, uint64_t> owner;         // each file's user, when not 0
    uint64_t user = 0;                     // this process's user, who owns the files it makes
    bool unreadable = false;               // whether another user's files but locks can't be read
    int kept_backups = 0;  // how many of process 42's backups fail to be removed, first
    uint64_t mount = 1;    // the mount the files are seen through: 2 numbers anew
    bool links = true;     // whether the file system has hard links
    Holder me{"here", "m", "b", 42, 1};
    bool blocked = false, fail_after = false, dead = false;
    int killed_at = 0;    // the call at which the run is killed: it and every call after do nothing
    Names at_intent;      // the names as they stand when the run has written what its turn will do
    bool replace = true;  // whether a rename may replace what stands at its new name
    int collisions = 0;   // how many of the next temporary names some other file holds
    int busy = 0;         // how many of the next renames another program's open file stops
    int fail_at = 0, unblocked_changes = 0, outside_turn = 0, flushed_in_turn = 0;
    int bad_closes = 0, next_file = 100, paused_ms = 0;
    intptr_t next_fd = 3;
    std::vector<std::string> calls;
} fake;
constexpr int OTHER_FILE = 7;  // the file that holds a colliding name or another run's lock
const std::string LOCK = "quenlor2-turn.lock", BREAKER = "quenlor2-turn-1.lock";

bool Ends(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Whether the run holds the pair's turn: the lock stands, made by this run, or the lock that
// breaks it, while the run puts right the turn of a run that is gone.
bool InTurn() {
    for (const std::string& lock : {LOCK, BREAKER}) {
        const auto found = fake.names.find(lock);
        if (found != fake.names.end() && fake.maker[found->second] == fake.me.pid &&
            fake.failed_unlinks.count(lock) == 0) {
            return true;
        }
    }
    return false;
}

// Records call; true when the plan has it fail, or the run is dead.
bool Fails(const std::string& call, bool changes_names = false) {
    fake.calls.push_back(call);
    const int n = static_cast<int>(fake.calls.size());
    fake.dead = fake.dead || (fake.killed_at > 0 && n >= fake.killed_at);
    fake.unblocked_changes += changes_names && !fake.blocked && !fake.dead ? 1 : 0;
    return fake.dead || n == fake.fail_at ||
           (fake.fail_after && fake.fail_at > 0 && n > fake.fail_at);
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

// A file's identity: each file of its own size and time, numbered anew by another mount.
FileId Id(int file) {
    const auto n = static_cast<uint64_t>(file);
    return FileId{fake.mount, n + 1000 * (fake.mount - 1), n, n, 0, fake.owner[file]};
}

}  // namespace

void ThisProcess(Holder* me) {
    *me = fake.me;
}
bool StartOf(uint64_t pid, uint64_t* start) {
    const auto found = fake.running.find(pid);
    return found != fake.running.end() && (*start = found->second, true);
}
bool WriteAll(intptr_t fd, const std::string& bytes) {
    if (Fails("write " + bytes.substr(0, bytes.find('\n')))) return false;
    fake.contents[fake.open[fd]] += bytes;
    if (bytes.find("end\n") != std::string::npos) fake.at_intent = fake.names;
    return true;
}
bool ReadableByAll(intptr_t) {
    return !Fails("chmod a+r");
}
uint64_t ThisUser() {
    return fake.user;
}
std::string UserName(uint64_t user) {
    return "user" + std::to_string(user);
}
intptr_t OpenToRead(const char* name, size_t most, std::string* bytes, FileId* id) {
    if (Fails("read " + std::string(name)) || fake.names.count(name) == 0) return NO_DESCRIPTOR;
    const int file = fake.names[name];
    if (fake.unreadable && fake.owner[file] != fake.user && !Ends(name, ".lock")) {
        return NO_DESCRIPTOR;
    }
    *bytes = fake.contents[file].substr(0, most), *id = Id(file);
    fake.open[fake.next_fd] = file;
    return fake.next_fd++;
}
bool ReadRange(intptr_t fd, uint64_t from, size_t n, std::string* bytes) {
    if (Fails("pread")) return false;
    const std::string& all = fake.contents[fake.open[fd]];
    return *bytes = from < all.size() ? all.substr(from, n) : "", true;
}
void EnterFolder(const char*, intptr_t* saved, std::string* prefix) {
    fake.calls.push_back("enter folder");
    *saved = NO_DESCRIPTOR, prefix->clear();
}
void LeaveFolder(intptr_t) {
    fake.calls.push_back("leave folder");
}
intptr_t OpenFolder(const char*) {
    return Fails("open folder"), NO_DESCRIPTOR;
}
KernelLock LockFile(intptr_t fd, bool) {
    if (Fails("flock")) return KernelLock::NONE;
    const int file = fake.open[fd];
    if (fake.held_elsewhere.count(file) + fake.locked.count(file) > 0) return KernelLock::REFUSED;
    return fake.locked[file] = fd, KernelLock::TAKEN;
}
Naming LinkName(const char* from, const char* to) {
    if (Fails("link " + std::string(from) + " " + to, true)) return Naming::FAILED;
    if (!fake.links) return Naming::NO_LINKS;
    if (Taken(to)) return Naming::TAKEN;
    return fake.names[to] = fake.names[from], Naming::DONE;
}
void ListFolder(const char*, const char* prefix, std::vector<std::string>* names) {
    names->clear();
    for (const auto& [name, file] : fake.names) {
        if (name.rfind(prefix, 0) == 0) names->push_back(name);
    }
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
void WriteError(const char*, size_t) {}
void Pause(int ms) {
    fake.paused_ms += ms;
}
intptr_t CreateNew(const char* name, bool* taken) {
    *taken = false;
    if (Fails("create " + std::string(name), true) || (*taken = Taken(name))) return NO_DESCRIPTOR;
    fake.maker[fake.next_file] = fake.me.pid;
    if (fake.user != 0) fake.owner[fake.next_file] = fake.user;
    fake.names[name] = fake.next_file;
    fake.open[fake.next_fd] = fake.next_file++;
    return fake.next_fd++;
}
intptr_t OpenToAppend(const char*) {
    return NO_DESCRIPTOR;  // the fake's names are its files
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
    if (fd == NO_DESCRIPTOR) return;  // as close(-1) does nothing
    fake.calls.push_back("close");
    const auto lock = fake.locked.find(fake.open.count(fd) == 1 ? fake.open[fd] : -1);
    if (lock != fake.locked.end() && lock->second == fd) fake.locked.erase(lock);
    fake.bad_closes += fake.open.erase(fd) == 1 ? 0 : 1;
}
bool Allocate(intptr_t, uint64_t) {
    return true;
}
bool SyncFile(intptr_t fd) {
    fake.flushed_in_turn += InTurn() && fake.open[fd] != fake.names[LOCK] ? 1 : 0;
    return !Fails("fsync " + std::to_string(fake.open[fd]));
}
bool SyncRenamed(const char*, const intptr_t* fds, size_t count) {
    for (size_t k = 0; k < count; ++k) {  // the new files, still open
        fake.bad_closes += fds[k] == NO_DESCRIPTOR || fake.open.count(fds[k]) == 1 ? 0 : 1;
    }
    return !Fails(count == 0 ? "fsync folder" : "fsync folder of the new pair");
}
bool RemoveName(const char* name) {
    if (Fails("unlink " + std::string(name), true) ||
        (fake.kept_backups > 0 && MadeBy(name, Holder{"here", "m", "b", 42, 1}, true) &&
         fake.kept_backups--)) {
        return fake.failed_unlinks.insert(name), false;
    }
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
const Names PREVIOUS = {{LEFT, 1}, {RIGHT, 2}};  // the files of a previous pair

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

// What the program does with its temporaries for outputs outs, up to its exit: whether it prints
// "done", and the names a failure reports the previous outputs kept under; made gets the new
// files' numbers.
bool RunPair(std::string* kept, Names* made, const std::vector<std::string>& outs = {LEFT, RIGHT}) {
    const size_t n = outs.size();
    std::vector<int> temps(n, -1);
    std::vector<const char*> names;
    bool whole = true;
    for (size_t k = 0; k < 2 * n && whole; ++k) {
        std::FILE* f =
            k < n ? CreateTemporary(outs[k].c_str(), &temps[k]) : ReopenTemporary(temps[k - n]);
        whole = f != nullptr && std::fclose(f) == 0;
        if (k < n) (*made)[outs[k]] = fake.next_file - 1, names.push_back(outs[k].c_str());
    }
    whole = whole && ReplaceOutputs(n, temps.data(), names.data(), kept);
    if (!whole) RemoveTemporaries();  // as the failure's exit does
    return whole;
}

// A lock as another run of host and boot, process pid started at 5, leaves it, naming file as its
// own (none: -1, as an earlier version did).
std::string LockOf(const std::string& host, char boot, char pid, int file) {
    return "quenlor2 lock\nhost " + std::to_string(host.size()) + ":" + host +
           "\nmachine 1:m\nboot 1:" + boot + "\npid " + pid + "\nstart 5\n" +
           (file < 0 ? "" : "file 1 " + std::to_string(file) + " 0\n");
}

// A fresh fake: processes 42, 7 (started at 5) and 8 (its start hidden) run on this machine.
void Fresh(const Names& names) {
    fake = Fake{};
    fake.names = names;
    fake.running = {{42, 1}, {7, 5}, {8, UNKNOWN_START}};
}

struct Case {
    std::string row;
    bool before, replace;
    std::string lock;  // what a lock another run left says
    int collisions;
    const char* folder;  // an output's name that a folder holds
    bool done;
    int busy = 0;           // how many renames another program's open file stops
    int waits_ms = 0;       // how long a clean run waits for the turn, at least
    std::string breaker{};  // what the lock that breaks it says
    bool held = false;      // whether a live process holds the lock's kernel lock
    bool links = true;      // whether the file system has hard links
};

// Whatever call fails, and whatever fails after it: "done" means the new pair, its data and
// mode on disk before its names, what the turn will do in the lock before any of them changes,
// and the names on disk before "done"; otherwise each output shows its previous file, or, only
// when a call failed after the first failure, a message names the file that holds it (or, when
// none stood there, the new one may stay). Nothing else is left but a name whose removal failed
// or another run's lock; no descriptor is leaked or closed twice; every name changes with signals
// blocked; every change to an output's name comes in the run's own turn, and no output is flushed
// there; a signal pending in the turn before the renames is honoured. A lock is taken over only
// from a run of this machine that is gone, or after saying nothing for 3 s.
TEST(System, ReplacesThePairAsOneWhateverCallFails) {
    // Locks of runs of this computer (its boot: b) whose kernel lock is on their own file (7;
    // the breaker's 8), and of one in a container of it (box).
    const std::string dead = LockOf("here", 'b', '9', 7), breaker = LockOf("here", 'b', '9', 8),
                      seven = LockOf("here", 'b', '7', 7), box = LockOf("box", 'b', '4', 7);
    std::string later;
    for (const char* output : {LEFT, RIGHT}) {
        later += "output " + Field(output) + "backup 0:\ntemp 1:t\nnew 1 2 0 3 4\n";
    }
    later += "end\nversion " + std::to_string(SET_VERSION + 1) + "\n";
    const Case cases[] = {
        {"no previous outputs", false, true, "", 0, nullptr, true},
        {"a previous pair", true, true, "", 0, nullptr, true},
        {"temporary names taken", true, true, "", 3, nullptr, true},
        {"every temporary name taken", true, true, "", 1000, nullptr, false},
        {"a folder at the left output", true, true, "", 0, LEFT, false},
        {"a folder at the right output", true, true, "", 0, RIGHT, false},
        // ntfs-3g refuses to rename over a long name.
        {"replacing renames refused", true, false, "", 0, nullptr, true},
        {"a lock from before a restart", true, true, LockOf("here", 'a', '7', 7), 0, nullptr, true},
        {"a lock that says nothing", true, true, "x", 0, nullptr, true, 0, 3000},
        {"a lock being written", true, true, "x", 0, nullptr, false, 0, 9000, "", true},
        {"dead lock and breaker", true, true, dead + "\n", 0, nullptr, true, 0, 0, breaker},
        {"a dead breaker alone", true, true, "", 0, nullptr, true, 0, 0, breaker},
        {"a live run's lock", true, true, seven, 0, nullptr, false, 0, 9000, "", true},
        // Held, its holder gone: another run is putting its turn right.
        {"a lock being put right", true, true, dead, 0, nullptr, false, 0, 9000, "", true},
        {"a later version's lock", true, true, dead + later, 0, nullptr, false},
        {"a dead run's, its number reused", true, true, seven, 0, nullptr, true},
        {"a live run's in a container", true, true, box, 0, nullptr, false, 0, 9000, "", true},
        {"a dead run's in a container", true, true, box, 0, nullptr, true},
        // Seen through another mount, or written by an earlier version: judged by its process.
        {"a hidden live run's", true, true, LockOf("here", 'b', '8', -1), 0, nullptr, false, 0,
         9000},
        {"another machine's", true, true, LockOf("there", 'c', '9', 7), 0, nullptr, false, 0, 9000},
        {"no links, a silent lock", true, true, "x", 0, nullptr, true, 0, 3000, "", false, false},
        // Windows: a file another program opens for a moment, or keeps open.
        {"renames refused for a moment", true, true, "", 0, nullptr, true, 5},
        {"renames refused for long", true, true, "", 0, nullptr, false, 1000},
    };
    for (const Case& c : cases) {
        int calls = 0;
        for (int fail_at = 0; fail_at <= calls; ++fail_at) {
            for (const bool after : {false, true}) {
                Names previous = c.before ? PREVIOUS : Names{};
                if (c.folder != nullptr) previous.erase(c.folder);
                Fresh(previous);
                if (c.folder != nullptr) fake.folders = {c.folder};
                // Another run's lock (which may stay) and its breaking lock (which must go).
                if (!c.lock.empty())
                    fake.names[LOCK] = OTHER_FILE, fake.contents[OTHER_FILE] = c.lock;
                if (!c.breaker.empty()) fake.names[BREAKER] = 8, fake.contents[8] = c.breaker;
                if (c.held) fake.held_elsewhere = {OTHER_FILE};
                fake.links = c.links;
                fake.replace = c.replace;
                fake.collisions = c.collisions;
                fake.busy = c.busy;
                fake.fail_at = fail_at;
                fake.fail_after = after;
                std::string kept[2];
                Names made;
                const bool done = RunPair(kept, &made);
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
                EXPECT_TRUE(fail_at > 0 || (fake.paused_ms >= c.waits_ms &&
                                            (c.waits_ms > 0 || fake.paused_ms < 2000)))
                    << plan << fake.paused_ms;
                Names outputs, rest;
                for (const auto& [name, file] : fake.names) {
                    if (file == OTHER_FILE || (file == 8 && (!done || fail_at > 0))) continue;
                    (name == LEFT || name == RIGHT ? outputs : rest)[name] = file;
                }
                if (done) {
                    EXPECT_EQ(outputs, made) << plan;
                    EXPECT_TRUE(plan.find("pending") == std::string::npos || after) << plan;
                    EXPECT_TRUE(Call("chmod like " + std::string(LEFT)) < Call("fsync 100") &&
                                Call("fsync 101") < Call("write output") &&
                                Call("write output") < Call("rename takeL.wav") &&
                                Call("pending signals?") < Call("rename quenlor2-", LEFT) &&
                                Call("rename quenlor2-", RIGHT) < Call("fsync folder", "pair") &&
                                Call("fsync folder", "pair") < Call("unlink quenlor2-", ".prev"))
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
                // A lock of the run's own stays when it can't be read back as its own: the next
                // run finds its holder gone.
                for (const auto& [name, file] : rest) {
                    EXPECT_TRUE(fake.failed_unlinks.count(name) == 1 ||
                                (fail_at > 0 && Ends(name, ".lock") && fake.maker[file] == 42))
                        << plan << ": " << name;
                }
            }
        }
    }
}

// The process that ran is gone, its descriptors closed and its kernel locks dropped; process
// pid, started at start, runs instead, and is killed at its call kill (none: 0).
void NextProcess(uint64_t pid, uint64_t start, int kill, uint64_t user = 0) {
    fake.user = user;
    fake.dead = false;
    fake.killed_at = kill == 0 ? 0 : static_cast<int>(fake.calls.size()) + kill;
    fake.fail_at = 0;
    fake.open.clear();
    fake.locked.clear();
    fake.running = {{pid, start}};
    fake.me = {"here", "m", "b", pid, start};
}

// A run killed at any call, also in the undo after its folder's flush failed, leaves what the
// next run puts right, and so does that one killed at any call while it does: by the time a run
// writes what its own turn will do, the outputs show the dead run's previous pair or its new one,
// whole, and nothing else of the dead runs is left; then that run's pair stands, alone. So too
// when the next runs see the folder through another mount, which numbers its files anew (plan 3),
// and when the previous pair, the dead run and the next runs are of three users (plan 4; plan 5,
// with no previous pair, and none may read another's files); and when the dead run's backups fail
// to be removed at first (plan 6: the lock stays until they are); and for a set of three outputs
// (plan 7).
TEST(System, TheNextRunPutsRightWhatAKilledRunLeft) {
    const std::vector<std::string> pair = {LEFT, RIGHT}, set = {"t_1.wav", "t_2.wav", "t_3.wav"};
    for (const int plan : {0, 1, 2, 3, 4, 5, 6, 7}) {
        const std::vector<std::string>& outs = plan == 7 ? set : pair;
        const Names previous = plan == 7 ? Names{{set[0], 1}, {set[1], 2}, {set[2], 3}} : PREVIOUS;
        const bool before = plan != 1 && plan != 5;
        const uint64_t mount = plan == 3 ? 2 : 1, users = plan == 4 || plan == 5 ? 9 : 0;
        int calls = 1, flush = 0;
        for (int killed_at = 0; killed_at <= calls; ++killed_at) {
            Fresh(before ? previous : Names{});
            if (users > 0) fake.owner = {{1, 5}, {2, 5}}, fake.user = 7;
            fake.unreadable = plan == 5;
            fake.killed_at = killed_at;
            fake.fail_at = plan == 2 ? flush : 0;
            std::string kept[3];
            Names dead_run, next_run;
            RunPair(kept, &dead_run, outs);
            if (killed_at == 0) {
                calls = static_cast<int>(fake.calls.size());
                flush = static_cast<int>(Call("fsync folder", "pair")) + 1;
                continue;
            }
            const Fake left = fake;
            // The next run killed at each call of its own while a dead turn is left to put right.
            const bool turn_left =
                fake.contents[At(fake.names, LOCK)].find("end\n") != std::string::npos;
            int recovery_calls = 0;
            for (int recovery_killed = 0; recovery_killed <= recovery_calls; ++recovery_killed) {
                const std::string row = std::to_string(plan) + ", killed at " +
                                        left.calls[size_t(killed_at) - 1] + " then at " +
                                        std::to_string(recovery_killed);
                fake = left;
                const size_t start = fake.calls.size();
                NextProcess(43, 2, recovery_killed, users);
                fake.mount = mount, fake.kept_backups = plan == 6 ? 1 : 0;
                Names recovering_run;
                if (recovery_killed > 0) {
                    RunPair(kept, &recovering_run, outs);
                    NextProcess(44, 3, 0, users + 2 * (users > 0));
                }
                EXPECT_TRUE(RunPair(kept, &next_run, outs)) << row;
                if (recovery_killed == 0 && turn_left) {
                    recovery_calls = static_cast<int>(fake.calls.size() - start);
                }
                Names outputs;
                for (const auto& [name, file] : fake.at_intent) {
                    if (std::find(outs.begin(), outs.end(), name) != outs.end()) {
                        outputs[name] = file;
                    } else {
                        EXPECT_EQ(fake.maker[file], fake.me.pid) << row << ": " << name;
                    }
                }
                EXPECT_TRUE(outputs == (before ? previous : Names{}) || outputs == dead_run ||
                            outputs == recovering_run)
                    << row;
                EXPECT_EQ(fake.names, next_run) << row;
                EXPECT_EQ(fake.unblocked_changes + fake.outside_turn, 0) << row;
            }
        }
    }
}

// A lock left by a run that is gone is put right only where it names what that run could have
// made: one pair's outputs, and temporaries of that run's own; and a new output is removed only
// when it is the very file the lock names. Otherwise the lock stays and nothing is touched. (Names
// outside the folder and another user's files: the left-behind turn's rows of the program.)
TEST(System, ARecoveryTouchesOnlyWhatItsDeadRunMade) {
    const auto name = [](uint64_t pid) {
        fake.me = Holder{"here", "m", "b", pid, 5};
        const std::string made = TemporaryName("x");
        return fake.me = Holder{"here", "m", "b", 42, 1}, made;
    };
    Fresh({});
    const std::string temp = name(9), foreign = name(10);
    const auto side = [](const std::string& output, const std::string& temp_name, int made) {
        return "output " + Field(output) + "backup 0:\ntemp " + Field(temp_name) + "new " +
               IdText(FileId{1, uint64_t(made), 0, 0, 0}, true);
    };
    const std::string end = "end\n", set = "end\nversion 4\n", digests = "digest 1 2 3\n";
    const std::tuple<std::string, std::string, bool> rows[] = {
        {"a file of the folder as an output",
         side("notes.txt", temp, 60) + side(RIGHT, temp, 61) + end, false},
        {"another run's temporary", side(LEFT, foreign, 60) + side(RIGHT, temp, 61) + end, false},
        {"an output that is not the new file", side(LEFT, temp, 60) + side(RIGHT, temp, 61) + end,
         true},
        // ext4 hands a file's number on: the user's own recording, at the output, has it now.
        {"another file of the new file's number", side(LEFT, temp, 1) + side(RIGHT, temp, 61) + end,
         true},
        {"a set with a file of the folder",
         side("t_1.wav", temp, 60) + side("t_2.wav", temp, 61) + set + side("notes.txt", temp, 62) +
             digests,
         false},
        {"a set out of order",
         side("t_1.wav", temp, 60) + side("t_3.wav", temp, 61) + set + side("t_2.wav", temp, 62) +
             digests,
         false},
        {"a set of a dead run",
         side("t_1.wav", temp, 60) + side("t_2.wav", temp, 61) + set + side("t_3.wav", temp, 62) +
             digests,
         true},
    };
    for (const auto& [row, intent, done] : rows) {
        Fresh(
            {{LEFT, 1}, {RIGHT, 2}, {"notes.txt", 3}, {temp, 4}, {foreign, 5}, {LOCK, OTHER_FILE}});
        fake.contents[OTHER_FILE] = LockOf("here", 'b', '9', OTHER_FILE) + intent + "undo\n";
        fake.running[10] = 5;  // the other temporary a live run's
        const Names before = fake.names;
        std::string kept[2];
        Names made;
        EXPECT_EQ(RunPair(kept, &made), done) << row;
        // Only the dead run's own temporary may go, and its lock.
        for (const auto& [planted, file] : done ? before : Names{}) {
            EXPECT_TRUE(At(fake.at_intent, planted) == file || planted == temp || planted == LOCK)
                << row << ": " << planted;
        }
        EXPECT_TRUE(done || fake.names == before) << row;
    }
}

}  // namespace
