// The pair's replacement: the turn, which one lock file in the outputs' folder gives to one live
// run at a time; what the turn will do, written in the lock before anything is moved; the
// previous outputs set aside, the new ones renamed in, the folder flushed, and the undo in order
// when anything fails; and the next run's recovery of a turn that a kill, a crash or a power cut
// cut short.
#include "pair.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "fail.h"
#include "system.h"
#include "system_private.h"

namespace {

// The turn's lock, and the locks that break it (and each other) when their holder is gone: a run
// breaks a lock only while it holds the next one, so two runs never both break one lock. One lock
// per folder, in lower case, so that two spellings of one output on a file system that folds case
// share it; a turn lasts milliseconds.
constexpr int LOCK_DEPTH = 3;
const char* const LOCK_NAMES[LOCK_DEPTH] = {"quenlor2-turn.lock", "quenlor2-turn-1.lock",
                                            "quenlor2-turn-2.lock"};
constexpr int TURN_WAIT_MS = 10000;
// A lock that says nothing of its holder, unchanged for this long, is no live run's: a run writes
// its holder in its lock as soon as it has made it. (A crash can leave one made but empty.)
constexpr int SILENT_MS = 3000;
// A lock is a few hundred bytes; what is longer is no lock of this program's.
constexpr size_t LOCK_MOST = 16384;

// What a lock's holder is to this run.
enum class Lock {
    GONE,       // no lock stands
    LIVE,       // its holder runs on this machine
    DEAD,       // its holder ran on this machine and runs no more
    ELSEWHERE,  // its holder is on another machine: only that machine can tell
    SILENT,     // a file that names no holder
    UNKNOWN,    // something that can't be read (a link, a folder, another user's file)
};

// What a name holds in a lock: its length, then itself, so that any byte may stand in it.
std::string Field(const std::string& text) {
    return std::to_string(text.size()) + ":" + text + "\n";
}

// Reads a line "key value" or, for a field, "key length:bytes" at *at of text; false when there is
// none.
bool ReadLine(const std::string& text, size_t* at, const char* key, bool field,
              std::string* value) {
    const std::string start = std::string(key) + " ";
    if (text.compare(*at, start.size(), start) != 0) return false;
    size_t from = *at + start.size(), end = text.find('\n', from);
    if (field) {
        const size_t colon = text.find(':', from);
        if (colon == std::string::npos || colon == from || colon - from > 5 ||
            text.find_first_not_of("0123456789", from) != colon) {
            return false;
        }
        const size_t length = std::strtoul(text.substr(from, colon - from).c_str(), nullptr, 10);
        from = colon + 1;
        end = from + length;
        if (end >= text.size() || text[end] != '\n') return false;
    }
    if (end == std::string::npos) return false;
    *value = text.substr(from, end - from);
    *at = end + 1;
    return true;
}

std::string HolderText(const Holder& h) {
    return "quenlor2 lock\n" + ("host " + Field(h.host)) + ("machine " + Field(h.machine)) +
           ("boot " + Field(h.boot)) + "pid " + std::to_string(h.pid) + "\nstart " +
           std::to_string(h.start) + "\n";
}

// Reads a line "key digits" at *at of text into value; false when there is none.
bool ReadNumber(const std::string& text, size_t* at, const char* key, uint64_t* value) {
    std::string digits;
    if (!ReadLine(text, at, key, false, &digits) || digits.empty() || digits.size() > 20 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *value = std::strtoull(digits.c_str(), nullptr, 10);
    return true;
}

// Reads the holder a lock names; false when it names none. *at is left after it.
bool ReadHolder(const std::string& text, Holder* h, size_t* at) {
    *at = 0;
    if (text.compare(0, 14, "quenlor2 lock\n") != 0) return false;
    *at = 14;
    return ReadLine(text, at, "host", true, &h->host) &&
           ReadLine(text, at, "machine", true, &h->machine) &&
           ReadLine(text, at, "boot", true, &h->boot) && ReadNumber(text, at, "pid", &h->pid) &&
           ReadNumber(text, at, "start", &h->start);
}

// Reads the lock at name and judges its holder, filling text with what it holds.
Lock Judge(const std::string& name, const Holder& me, std::string* text, Holder* holder) {
    if (!ReadSmall(name.c_str(), LOCK_MOST, text)) {
        text->clear();
        return EntryAt(name.c_str()) == Entry::MISSING ? Lock::GONE : Lock::UNKNOWN;
    }
    size_t at = 0;
    if (!ReadHolder(*text, holder, &at)) return Lock::SILENT;
    if (holder->host != me.host || holder->machine != me.machine) return Lock::ELSEWHERE;
    if (holder->boot != me.boot) return Lock::DEAD;  // from before this machine last started
    uint64_t start = 0;
    const bool runs =
        StartOf(holder->pid, &start) && (start == holder->start || start == UNKNOWN_START);
    return runs ? Lock::LIVE : Lock::DEAD;
}

// A lock's holder as a message names it.
std::string HolderName(const Holder& h) {
    return h.host.empty() ? "this computer" : h.host;
}

// Whether a silent lock seen now (waited: the wait so far) has said the same for SILENT_MS.
struct Silence {
    std::string text;
    int since = -1;
};
bool SilentLong(Silence* s, Lock kind, const std::string& text, int waited) {
    if (kind != Lock::SILENT) return s->since = -1, false;
    if (s->since < 0 || s->text != text) s->text = text, s->since = waited;
    return waited - s->since >= SILENT_MS;
}

// What a turn holds: its lock's name and descriptor, and what the lock says.
struct Turn {
    std::string folder, lock, text;
    intptr_t fd = NO_DESCRIPTOR;
    bool intent = false;  // the lock says what the turn will do
};

enum class Made { MADE, TAKEN, FAILED };

// Makes the lock at name, holding text, readable by every user, and returns with signals
// blocked; otherwise with signals as they were.
Made MakeLock(const std::string& name, const std::string& text, intptr_t* fd) {
    bool taken = false;
    BlockSignals();
    *fd = CreateNew(name.c_str(), &taken);
    if (*fd != NO_DESCRIPTOR && WriteAll(*fd, text) && ReadableByAll(*fd)) return Made::MADE;
    if (*fd != NO_DESCRIPTOR) CloseDescriptor(*fd), RemoveName(name.c_str());
    RestoreSignals();
    // Whatever else stopped the create is waited out, as a lock is: an SFTP server's bare
    // refusal to create over a file, or Windows' while a lock given up is still open elsewhere.
    return *fd == NO_DESCRIPTOR ? Made::TAKEN : Made::FAILED;
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

// Renames backup to path, over what stands there; where the file system refuses a replacing
// rename (ntfs-3g does for long names), removes what stands there first.
bool PutBack(const std::string& backup, const std::string& path) {
    if (Patiently(RenameOver, backup.c_str(), path.c_str()) == Naming::DONE) return true;
    if (EntryAt(path.c_str()) != Entry::MISSING) RemoveName(path.c_str());
    return Patiently(RenameOver, backup.c_str(), path.c_str()) == Naming::DONE;
}

// One output of a turn, as its intent names it: the output's name, the backup its previous file
// is moved to (empty when none stood there), and the new file's temporary name.
struct Side {
    std::string output, backup, temp;
};

// What a dead run's turn left, put right: finished when both new outputs stand (both temporaries
// renamed in, and no undo begun), undone otherwise; then its temporaries go. False when the file
// system fails: the lock then stays, for another try.
bool Recover(const std::string& folder, const std::string& text) {
    Holder holder;
    size_t at = 0;
    Side sides[2];
    std::string output, backup, temp;
    ReadHolder(text, &holder, &at);
    for (Side& side : sides) {
        if (!ReadLine(text, &at, "output", true, &output) ||
            !ReadLine(text, &at, "backup", true, &backup) ||
            !ReadLine(text, &at, "temp", true, &temp)) {
            return true;  // the turn had not begun: nothing was moved
        }
        side = {folder + output, backup.empty() ? "" : folder + backup, folder + temp};
    }
    if (text.compare(at, 4, "end\n") != 0) return true;
    const bool undo = text.compare(at + 4, 5, "undo\n") == 0;
    const auto missing = [](const std::string& name) {
        return EntryAt(name.c_str()) == Entry::MISSING;
    };
    bool whole = true;
    if (!undo && missing(sides[0].temp) && missing(sides[1].temp)) {
        for (const Side& side : sides) {
            if (!side.backup.empty()) whole = RemoveName(side.backup.c_str()) && whole;
        }
    } else {
        for (int k = 1; k >= 0; --k) {  // as the run's own undo goes: the right output first
            const Side& side = sides[k];
            if (!side.backup.empty() && !missing(side.backup)) {
                whole = PutBack(side.backup, side.output) && whole;
            } else if (side.backup.empty() && missing(side.temp) && !missing(side.output)) {
                whole = RemoveName(side.output.c_str()) && whole;  // the new file, where none stood
            }
            whole = RemoveName(side.temp.c_str()) && whole;
        }
    }
    // On disk before the lock, and what it says, go.
    return SyncRenamed(folder.c_str(), NO_DESCRIPTOR, NO_DESCRIPTOR) && whole;
}

// Breaks lock depth of folder, seen holding seen by a holder that is gone, while holding the
// next lock: there, the lock is still the one judged (only its holder, gone, or a breaker, this
// run, removes it), and the turn it held is put right before it goes. A breaking lock whose holder
// is gone too is broken in turn.
void Break(const std::string& folder, int depth, const std::string& seen, const Holder& me,
           Silence* silences, int waited) {
    if (depth + 1 >= LOCK_DEPTH) return;
    const std::string lock = folder + LOCK_NAMES[depth], breaker = folder + LOCK_NAMES[depth + 1];
    intptr_t fd = NO_DESCRIPTOR;
    if (MakeLock(breaker, HolderText(me), &fd) != Made::MADE) {
        std::string text;
        Holder holder;
        const Lock kind = Judge(breaker, me, &text, &holder);
        if (kind == Lock::DEAD || SilentLong(&silences[depth + 1], kind, text, waited)) {
            Break(folder, depth + 1, text, me, silences, waited);
        }
        return;
    }
    std::string now;
    if (ReadSmall(lock.c_str(), LOCK_MOST, &now) && now == seen &&
        (depth > 0 || Recover(folder, now))) {
        RemoveName(lock.c_str());
    }
    CloseDescriptor(fd);
    RemoveName(breaker.c_str());
    RestoreSignals();
}

// Waits for the pair's turn in folder and takes it, returning with signals blocked; false, with
// signals as they were, when it can't be had within TURN_WAIT_MS (a line then says who holds it).
bool TakeTurn(const std::string& folder, Turn* turn) {
    Holder me, holder;
    ThisProcess(&me);
    turn->folder = folder;
    turn->lock = folder + LOCK_NAMES[0];
    turn->text = HolderText(me);
    Silence silences[LOCK_DEPTH];
    Lock kind = Lock::GONE;
    for (int waited = 0, step = 1; waited < TURN_WAIT_MS;
         waited += step, step = std::min(step * 2, 50)) {
        const Made made = MakeLock(turn->lock, turn->text, &turn->fd);
        if (made == Made::MADE) return true;
        if (made == Made::FAILED) return false;
        std::string text;
        kind = Judge(turn->lock, me, &text, &holder);
        if (kind == Lock::DEAD || SilentLong(&silences[0], kind, text, waited)) {
            Break(folder, 0, text, me, silences, waited);
        }
        Pause(step);
    }
    if (kind == Lock::LIVE || kind == Lock::ELSEWHERE) {
        std::printf(MSG_LOCK_HELD "\n", turn->lock.c_str(), std::to_string(holder.pid).c_str(),
                    HolderName(holder).c_str());
    } else if (kind != Lock::GONE) {
        std::printf(MSG_LOCK_UNKNOWN "\n", turn->lock.c_str());
    }
    return false;
}

// Whether the turn's lock still stands as this run's.
bool StillHeld(const Turn& turn) {
    std::string now;
    return ReadSmall(turn.lock.c_str(), LOCK_MOST, &now) && now == turn.text;
}

// Appends what to the lock and flushes it; false when that fails.
bool Note(Turn* turn, const std::string& what) {
    if (!WriteAll(turn->fd, what)) return false;
    turn->text += what;
    return SyncFile(turn->fd);
}

// Gives up the turn: its lock goes, unless it is another run's now, and the signals come back.
void GiveUpTurn(Turn* turn) {
    std::string now;
    CloseDescriptor(turn->fd);
    if (!ReadSmall(turn->lock.c_str(), LOCK_MOST, &now) || now == turn->text) {
        RemoveName(turn->lock.c_str());
    }
    RestoreSignals();
}

// Removes from folder the temporaries of runs of this machine that are gone, and the breaking
// locks they left; in the turn, so that no dead run's turn still needs them.
void SweepDeadRuns(const std::string& folder) {
    std::vector<std::string> names;
    ListFolder((folder + LOCK_NAMES[0]).c_str(), "quenlor2-", &names);
    Holder me, holder;
    ThisProcess(&me);
    for (const std::string& name : names) {
        std::string text;
        const bool breaker = name == LOCK_NAMES[1] || name == LOCK_NAMES[2];
        if (LeftByDeadRun(name) ||
            (breaker && Judge(folder + name, me, &text, &holder) == Lock::DEAD)) {
            RemoveName((folder + name).c_str());
        }
    }
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
    std::string backup;           // where the previous file goes; empty when none stands
    intptr_t fd = NO_DESCRIPTOR;  // the new file's, from its rename until the flush
};

// Writes in the lock what the turn will do, and flushes it and the folder, so that the next run
// can finish or undo it after a crash. False when it can't, or a folder stands at an output.
bool WriteIntent(Turn* turn, Output (&pair)[2]) {
    std::string intent;
    for (Output& out : pair) {
        const Entry entry = EntryAt(out.name);
        if (entry != Entry::MISSING && entry != Entry::OTHER) return false;
        out.backup = entry == Entry::MISSING ? "" : TemporaryName(out.name);
        const char* temp = TemporaryPath(out.temp);
        intent += "output " + Field(out.name + NameStart(out.name)) + "backup " +
                  Field(out.backup.substr(NameStart(out.backup))) + "temp " +
                  Field(temp + NameStart(temp));
    }
    turn->intent = Note(turn, intent + "end\n") &&
                   SyncRenamed(turn->lock.c_str(), NO_DESCRIPTOR, NO_DESCRIPTOR);
    return turn->intent;
}

// Moves the file at out.name to its backup, never over an existing file. A rename, not a hard
// link: ntfs-3g leaves a second, cut name of a file with a long name that has other links when
// it is replaced, and FAT and exFAT have no links. False when it can't, or the turn is lost.
bool SetAside(const Turn& turn, Output* out) {
    if (!StillHeld(turn)) return false;
    if (out->backup.empty()) {
        if (EntryAt(out->name) != Entry::MISSING) return false;
        return out->aside = Aside::NOTHING, true;
    }
    const Naming moved = Patiently(RenameNoReplace, out->name, out->backup.c_str());
    if (moved == Naming::DONE) return out->aside = Aside::MOVED, true;
    return moved == Naming::NO_SOURCE ? (out->aside = Aside::NOTHING, true) : false;
}

// Gives out its previous file back, or frees its name where none stood, once the new file may
// stand there (placed); records in kept the backup that can't be given back its name.
void GiveBack(const Output& out, bool placed, std::string* kept) {
    if (out.aside == Aside::MOVED && !PutBack(out.backup, out.name)) *kept = out.backup;
    if (out.aside == Aside::NOTHING && placed) RemoveName(out.name);
}

// Closes the new files' descriptors still open.
void CloseNew(Output (&pair)[2]) {
    for (Output& out : pair) {
        if (out.fd != NO_DESCRIPTOR) CloseDescriptor(out.fd), out.fd = NO_DESCRIPTOR;
    }
}

}  // namespace

bool ReplacePair(int left_temp, const char* left, int right_temp, const char* right,
                 std::string kept[2]) {
    Output pair[2] = {{left, left_temp, Aside::NOT_YET, {}, NO_DESCRIPTOR},
                      {right, right_temp, Aside::NOT_YET, {}, NO_DESCRIPTOR}};
    Turn turn;
    int placed = 0;
    for (const Output& out : pair) {
        const intptr_t fd = TemporaryDescriptor(out.temp);
        // The mode before the flush, so that it covers it too; the flush before the turn, so
        // that other runs and signals don't wait on the disk.
        if (fd == NO_DESCRIPTOR || !CopyMode(out.name, fd) || !SyncFile(fd)) return false;
    }
    if (!TakeTurn(std::string(left, NameStart(left)), &turn)) return false;
    SweepDeadRuns(turn.folder);
    if (!StillOurs(left_temp) || !StillOurs(right_temp) || !WriteIntent(&turn, pair)) {
        goto give_back;
    }
    for (Output& out : pair) {
        if (!SetAside(turn, &out)) goto give_back;
    }
    for (; placed < 2; ++placed) {
        Output& out = pair[placed];
        // A signal that came in the turn leaves the previous pair, as one before it does.
        if (Interrupted() || !StillHeld(turn) ||
            Patiently(RenameOver, TemporaryPath(out.temp), out.name) != Naming::DONE) {
            goto give_back;
        }
        out.fd = Release(out.temp);
    }
    // The previous pair is kept until the new one is on disk, names included: "done" means that
    // a crash can't take it back. A backup that can't be removed after that is only a copy left
    // behind, as a temporary whose removal fails is. A signal that comes now waits for all that.
    if (SyncRenamed(left, pair[0].fd, pair[1].fd)) {
        CloseNew(pair);
        for (const Output& out : pair) {
            if (out.aside == Aside::MOVED) RemoveName(out.backup.c_str());
        }
        GiveUpTurn(&turn);
        return true;
    }

give_back:  // in the turn: each output as it was, the right one first
    CloseNew(pair);
    // What the undo does is noted first, so that a crash in it is undone, not finished.
    if (turn.intent) Note(&turn, "undo\n");
    const bool held = StillHeld(turn);
    for (int side = 1; side >= 0; --side) {
        if (held) {
            GiveBack(pair[side], side < placed, &kept[side]);
        } else if (pair[side].aside == Aside::MOVED) {
            kept[side] = pair[side].backup;  // the pair is another run's now
        }
    }
    SyncRenamed(left, NO_DESCRIPTOR, NO_DESCRIPTOR);
    GiveUpTurn(&turn);
    return false;
}
