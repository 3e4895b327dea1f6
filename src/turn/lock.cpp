// The pair's turn: one lock file per folder, held by one live run at a time, and broken only when
// its holder is gone (the protocol as a whole is stated at the head of pair.cpp).
//
// A lock is whole from the moment anyone can see it: it is written under a temporary name (its
// holder, and the lock file as its holder sees it), then linked to the lock's name, which never
// replaces. Its holder holds the kernel's lock on it until it gives the turn up; the kernel drops
// that lock when the process dies, in whatever namespace it ran. Where the file system has no
// links (FAT, exFAT), the lock is created at its name, locked in the kernel, then written.
//
// A run that finds a lock judges its holder:
//   - A kernel lock refused: live (stopped or not), or a lock being written, or being broken
//     (its holder, of this computer, no longer runs).
//   - The kernel lock taken, on this kernel (same boot; on Windows, same computer) and on the file
//     the holder recorded, seen through the same mount: gone. Process numbers, hidepid, PID and
//     UTS namespaces don't enter. A lock taken on a file no longer at the lock's name proves
//     nothing: the name is checked to lead to it still.
//   - Otherwise (another mount of a share, or a file system without kernel locks): a holder of
//     this computer by its process number and start time, or gone when it ran before a restart;
//     another computer's is never judged gone, nor that of another container of this computer.
//   - A file that names no holder: being written while the folder's kernel lock is refused too;
//     otherwise gone once it has stayed the same for 3 seconds.
// A gone holder's lock is broken by one run at a time: under the kernel lock taken on it, and
// while the run holds quenlor2-turn-1.lock, made the same way, it reads the lock again (unchanged
// but by a breaker), puts the dead turn right, and only then removes it. A breaking lock whose
// holder is gone is broken the same way under quenlor2-turn-2.lock; that one, the bottom, is
// removed by the run that finds its holder gone (under the kernel lock taken on it, where the
// kernel judges), so that a chain of dead locks always ends.
//
// What remains open: where the kernel can't judge (two clients of one share), two runs that find
// the bottom lock dead at once may both remove it, the second a new one; and where the file system
// has no links and the kernel can't judge either, a run stopped for 3 seconds between creating its
// lock and writing it loses it.
#include "lock.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "fail.h"
#include "intent.h"

namespace {

constexpr int LOCK_DEPTH = 3;
const char* const LOCK_NAMES[LOCK_DEPTH] = {"quenlor2-turn.lock", "quenlor2-turn-1.lock",
                                            "quenlor2-turn-2.lock"};
constexpr int TURN_WAIT_MS = 10000;
constexpr int SILENT_MS = 3000;
// A lock is a few hundred bytes; what is longer is no lock of this program's.
constexpr size_t LOCK_MOST = 16384;

// What a lock's holder is to this run.
enum class Lock {
    GONE,       // no lock stands
    LIVE,       // its holder runs, on this computer
    NEARBY,     // its holder runs in another container or namespace of this computer
    DEAD,       // its holder ran on this computer and runs no more
    BREAKING,   // its holder runs no more, and a run that found it gone is putting its turn right
    ELSEWHERE,  // its holder is on another computer: only that one can tell
    SILENT,     // a file that names no holder
    UNKNOWN,    // something that can't be read (a link, a folder, another user's file)
};

// A lock as a run finds it: what it holds, the holder it names, the file, and a descriptor open
// on it that holds the kernel's lock when held.
struct Seen {
    std::string text;
    Holder holder;
    FileId id{};
    intptr_t fd = NO_DESCRIPTOR;
    bool held = false, refused = false;
};

void Forget(Seen* seen) {
    CloseDescriptor(seen->fd);
    seen->fd = NO_DESCRIPTOR;
    seen->held = false;
}

// Whether the process a holder of this computer and boot names still runs (one of its number
// whose start can't be read is taken for it).
bool Runs(const Holder& h) {
    uint64_t start = 0;
    return StartOf(h.pid, &start) && (start == h.start || start == UNKNOWN_START);
}

// Reads the lock at name and judges its holder; seen gets what was found, and keeps the kernel's
// lock on it when the holder is gone.
Lock Judge(const std::string& name, const Holder& me, Seen* seen) {
    Forget(seen);
    seen->refused = false;
    seen->fd = OpenToRead(name.c_str(), LOCK_MOST, &seen->text, &seen->id);
    if (seen->fd == NO_DESCRIPTOR) {
        seen->text.clear();
        return EntryAt(name.c_str()) == Entry::MISSING ? Lock::GONE : Lock::UNKNOWN;
    }
    size_t at = 0;
    seen->holder = Holder{};
    const bool named = ReadHolder(seen->text, &seen->holder, &at);
    const Holder& h = seen->holder;
    const bool this_computer = h.host == me.host && h.machine == me.machine;
    const bool this_kernel = h.boot == me.boot && (!me.boot.empty() || this_computer);
    const KernelLock kernel = LockFile(seen->fd, false);
    seen->refused = kernel == KernelLock::REFUSED;
    if (seen->refused) {
        if (!named) return Lock::SILENT;  // being written
        if (!this_computer) return this_kernel ? Lock::NEARBY : Lock::ELSEWHERE;
        // Refused while its holder runs no more: a breaker holds it.
        return h.boot == me.boot && Runs(h) ? Lock::LIVE : Lock::BREAKING;
    }
    seen->held = kernel == KernelLock::TAKEN;
    FileId now{};
    if (seen->held && (!NameIdentity(name.c_str(), &now) || !SameFile(now, seen->id))) {
        Forget(seen);
        return Lock::GONE;  // replaced meanwhile: judged again
    }
    if (!named) {
        // One being written holds the folder's kernel lock (CreateLock).
        const intptr_t folder = OpenFolder(name.c_str());
        seen->refused = folder != NO_DESCRIPTOR && LockFile(folder, false) == KernelLock::REFUSED;
        CloseDescriptor(folder);
        return Lock::SILENT;
    }
    if (seen->held && this_kernel && SameFile(h.file, seen->id)) return Lock::DEAD;
    if (!this_computer) return this_kernel && !me.boot.empty() ? Lock::NEARBY : Lock::ELSEWHERE;
    if (h.boot != me.boot) return Lock::DEAD;  // from before this computer last started
    return Runs(h) ? Lock::LIVE : Lock::DEAD;
}

// Whether a silent lock seen now (waited: the wait so far) has said the same for SILENT_MS.
struct Silence {
    std::string text;
    int since = -1;
};
bool SilentLong(Silence* s, Lock kind, const Seen& seen, int waited) {
    if (kind != Lock::SILENT || seen.refused) return s->since = -1, false;
    if (s->since < 0 || s->text != seen.text) s->text = seen.text, s->since = waited;
    return waited - s->since >= SILENT_MS;
}

// The temporary a lock is written under before it is published, made once for all tries.
struct Staged {
    int temp = -1;
    std::string text;
    FileId id{};
    bool no_links = false;
};

// Takes the staged temporary's record back and removes it, signals blocked by the caller.
void Drop(Staged* staged) {
    if (staged->temp < 0) return;
    const std::string path = TemporaryPath(staged->temp);
    CloseDescriptor(Release(staged->temp));
    RemoveName(path.c_str());
    staged->temp = -1;
}

// Writes the lock at name under a temporary beside it, holding me and the file as this run sees
// it, under the kernel's lock; false when it can't.
bool Stage(const std::string& name, Holder me, Staged* staged) {
    std::FILE* file = CreateTemporary(name.c_str(), &staged->temp);
    if (file == nullptr) return false;
    std::fclose(file);
    const intptr_t fd = TemporaryDescriptor(staged->temp);
    me.file = staged->id = *TemporaryIdentity(staged->temp);
    staged->text = HolderText(me);
    return LockFile(fd, false) != KernelLock::REFUSED && WriteAll(fd, staged->text) &&
           ReadableByAll(fd);
}

enum class Made { MADE, TAKEN, FAILED };

// Where the file system has no links: creates the lock at name, locks it in the kernel, then
// writes it, all under the kernel's lock on the folder, so that a run that finds it silent
// meanwhile leaves it be. Called with signals blocked; returns so when MADE.
Made CreateLock(const std::string& name, Holder me, Turn* turn) {
    const intptr_t folder = OpenFolder(name.c_str());
    // Another program's lock on the folder makes it wait no longer than a breaker does.
    if (folder != NO_DESCRIPTOR) LockFile(folder, false);
    bool taken = false;
    const intptr_t fd = CreateNew(name.c_str(), &taken);
    FileId now{};
    Made made = Made::TAKEN;
    // Whatever else stopped the create is waited out, as a lock is: an SFTP server's bare
    // refusal to create over a file, or Windows' while a lock given up is still open elsewhere.
    // Once locked, the name must still lead to it: a breaker may have been at it.
    if (fd != NO_DESCRIPTOR && LockFile(fd, true) != KernelLock::REFUSED &&
        DescriptorIdentity(fd, &me.file) && NameIdentity(name.c_str(), &now) &&
        SameFile(now, me.file)) {
        turn->text = HolderText(me);
        made = WriteAll(fd, turn->text) && ReadableByAll(fd) ? Made::MADE : Made::FAILED;
        if (made == Made::FAILED) RemoveName(name.c_str());
    }
    CloseDescriptor(folder);
    if (made == Made::MADE) return turn->fd = fd, made;
    CloseDescriptor(fd);
    return RestoreSignals(), made;
}

// Publishes the lock at name, holding me, and returns with signals blocked (MADE); otherwise
// with signals as they were: TAKEN when a lock stands there, FAILED when none can be made.
Made MakeLock(const std::string& name, const Holder& me, Staged* staged, Turn* turn) {
    turn->lock = name;
    if (!staged->no_links && staged->temp < 0 && !Stage(name, me, staged)) {
        RemoveTemporary(staged->temp);
        staged->temp = -1;
        return Made::FAILED;
    }
    BlockSignals();
    const Naming linked =
        staged->no_links ? Naming::NO_LINKS : LinkName(TemporaryPath(staged->temp), name.c_str());
    if (linked == Naming::DONE) {
        const std::string path = TemporaryPath(staged->temp);
        turn->fd = Release(staged->temp);  // its descriptor, with the kernel lock, now the lock's
        turn->text = staged->text;
        staged->temp = -1;
        RemoveName(path.c_str());
        // A FUSE file system without stable file numbers (sshfs) makes the lock's name a file of
        // its own to the system: the lock is written and read back through its name then, and
        // it holds a file number that no judge finds, so that the kernel lock does not judge it.
        FileId named{};
        if (NameIdentity(name.c_str(), &named) && !SameFile(named, staged->id)) {
            turn->held = turn->fd;
            turn->fd = OpenToAppend(name.c_str());
        }
        return Made::MADE;
    }
    if (linked == Naming::NO_LINKS) {
        staged->no_links = true;
        Drop(staged);
        return CreateLock(name, me, turn);
    }
    RestoreSignals();
    return Made::TAKEN;
}

// What breaking a lock came to.
enum class Broke {
    NOT,        // not broken: another run is at it, or the file system failed
    DONE,       // the dead turn put right and the lock gone
    UNTRUSTED,  // the lock names what its run could not have made: left, nothing touched
    LEFT,       // another user's that this run may not put right or remove
    FAILED,     // the file system refused to put the dead turn right: left, for another try
    LATER,      // a later version's: left, nothing touched
};

// Breaks lock depth of folder, seen with a holder that is gone (see the head of this file).
Broke Break(const std::string& folder, int depth, const Seen& seen, const Holder& me,
            Recovery recover, Silence* silences, int waited) {
    const std::string lock = folder + LOCK_NAMES[depth];
    const bool bottom = depth + 1 == LOCK_DEPTH;
    Turn breaker;
    if (bottom) {
        BlockSignals();
    } else {
        const std::string name = folder + LOCK_NAMES[depth + 1];
        Staged staged;
        if (MakeLock(name, me, &staged, &breaker) != Made::MADE) {
            RemoveTemporary(staged.temp);
            Seen next;
            const Lock kind = Judge(name, me, &next);
            if (kind == Lock::DEAD || SilentLong(&silences[depth + 1], kind, next, waited)) {
                Break(folder, depth + 1, next, me, recover, silences, waited);
            }
            Forget(&next);
            return Broke::NOT;
        }
    }
    // From here on, through the folder as it is now: the lock read again there, and every name
    // acted on, are in that folder, whatever is swapped on its path meanwhile.
    Broke broke = Broke::NOT;
    intptr_t saved = NO_DESCRIPTOR;
    std::string prefix, now;
    EnterFolder(lock.c_str(), &saved, &prefix);
    const std::string here = prefix + LOCK_NAMES[depth];
    FileId id{};
    const intptr_t fd = OpenToRead(here.c_str(), LOCK_MOST, &now, &id);
    if (fd != NO_DESCRIPTOR && now == seen.text && SameFile(id, seen.id)) {
        const Recovered done = depth > 0 ? Recovered::DONE : recover(folder, prefix, now, id);
        if (done == Recovered::UNTRUSTED || done == Recovered::LATER) {
            broke = done == Recovered::LATER ? Broke::LATER : Broke::UNTRUSTED;
        } else if (done == Recovered::DONE && RemoveName(here.c_str())) {
            broke = Broke::DONE;
        } else {
            broke = id.owner != ThisUser() ? Broke::LEFT : Broke::FAILED;
        }
    }
    CloseDescriptor(fd);
    LeaveFolder(saved);
    if (bottom) {
        RestoreSignals();
    } else {
        GiveUpTurn(&breaker);
    }
    return broke;
}

// A lock's holder as a message names it; a control character that anyone may have written in
// the lock does not reach the terminal.
std::string HolderName(const Holder& h) {
    std::string name = h.host.empty() ? "this computer" : h.host;
    for (char& c : name) c = static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
    return name;
}

// Says why the turn could not be had.
void SayWhy(const std::string& lock, Lock kind, Broke broke, const Seen& seen) {
    EraseProgress();
    if (broke == Broke::UNTRUSTED) {
        std::printf(MSG_LOCK_UNTRUSTED "\n", lock.c_str());
    } else if (broke == Broke::LATER) {
        std::printf(MSG_LOCK_LATER "\n", lock.c_str());
    } else if (broke == Broke::FAILED) {
        std::printf(MSG_LOCK_STUCK "\n", lock.c_str());
    } else if (broke == Broke::LEFT) {
        std::string user = UserName(seen.id.owner);
        if (user.empty()) user = std::to_string(seen.id.owner);
        std::printf(MSG_LOCK_LEFT "\n", lock.c_str(), user.c_str());
    } else if (kind == Lock::BREAKING || kind == Lock::DEAD) {
        std::printf(MSG_LOCK_RECOVERING "\n", lock.c_str());
    } else if (kind == Lock::LIVE || kind == Lock::ELSEWHERE) {
        std::printf(MSG_LOCK_HELD "\n", lock.c_str(), std::to_string(seen.holder.pid).c_str(),
                    HolderName(seen.holder).c_str());
    } else if (kind == Lock::NEARBY) {
        std::printf(MSG_LOCK_NEARBY "\n", lock.c_str());
    } else if (kind == Lock::SILENT && seen.refused) {
        std::printf(MSG_LOCK_MAKING "\n", lock.c_str());
    } else if (kind == Lock::SILENT || kind == Lock::UNKNOWN) {
        std::printf(MSG_LOCK_UNKNOWN "\n", lock.c_str());
    }
}

}  // namespace

bool TakeTurn(const std::string& folder, Recovery recover, Turn* turn) {
    Holder me;
    ThisProcess(&me);
    turn->folder = folder;
    turn->lock = folder + LOCK_NAMES[0];
    Staged staged;
    Silence silences[LOCK_DEPTH];
    Seen seen;
    Lock kind = Lock::GONE;
    Broke broke = Broke::NOT;
    for (int waited = 0, step = 1; waited < TURN_WAIT_MS;
         waited += step, step = std::min(step * 2, 50)) {
        const Made made = MakeLock(turn->lock, me, &staged, turn);
        if (made == Made::MADE) return true;
        if (made == Made::FAILED) return false;
        kind = Judge(turn->lock, me, &seen);
        broke = Broke::NOT;
        if (kind == Lock::DEAD || SilentLong(&silences[0], kind, seen, waited)) {
            broke = Break(folder, 0, seen, me, recover, silences, waited);
        }
        Forget(&seen);
        if (broke == Broke::UNTRUSTED || broke == Broke::LEFT || broke == Broke::LATER) break;
        Pause(step);
    }
    RemoveTemporary(staged.temp);
    SayWhy(turn->lock, kind, broke, seen);
    return false;
}

bool StillHeld(const Turn& turn) {
    std::string now;
    FileId id{};
    const intptr_t fd = OpenToRead(turn.lock.c_str(), LOCK_MOST, &now, &id);
    CloseDescriptor(fd);
    // By what it says, which names this run: a FUSE client without stable file numbers (sshfs)
    // may number the file anew between two looks.
    return fd != NO_DESCRIPTOR && now == turn.text;
}

bool Note(Turn* turn, const std::string& what) {
    if (!WriteAll(turn->fd, what)) return false;
    turn->text += what;
    return SyncFile(turn->fd);
}

void GiveUpTurn(Turn* turn) {
    // Removed while its kernel lock is held, so that no run takes it for a dead one's meanwhile.
    if (StillHeld(*turn)) RemoveName(turn->lock.c_str());
    CloseDescriptor(turn->fd);
    CloseDescriptor(turn->held);
    turn->fd = turn->held = NO_DESCRIPTOR;
    RestoreSignals();
}

void SweepDeadRuns(const std::string& folder) {
    std::vector<std::string> names;
    ListFolder((folder + LOCK_NAMES[0]).c_str(), "quenlor2-", &names);
    Holder me;
    ThisProcess(&me);
    for (const std::string& name : names) {
        Seen seen;
        const bool breaker = name == LOCK_NAMES[1] || name == LOCK_NAMES[2];
        if (LeftByDeadRun(name) || (breaker && Judge(folder + name, me, &seen) == Lock::DEAD)) {
            RemoveName((folder + name).c_str());
        }
        Forget(&seen);
    }
}
