// The outputs' replacement (a pair, or the set of a take's channels): the previous outputs set
// aside, the new ones renamed in, the folder flushed, and the undo in order when anything fails;
// and the next run's recovery of a turn that a kill, a crash or a power cut cut short.
//
// The protocol, in the states a folder goes through (the turn itself, its lock and the judging
// of its holder, are in lock.cpp):
//   1. No lock. The new outputs are written and flushed under temporaries (quenlor2-...part).
//   2. The lock stands, whole, naming its live holder, who holds the kernel's lock on it.
//   3. Intent: the lock also says each output, its backup (quenlor2-...prev, or none when no file
//      stood there), its temporary and what the new file is (its size, time and digest), then
//      "end" and the format's version (intent.cpp; a set's outputs past the second after the
//      version, which a program that knows only pairs refuses); lock and folder flushed.
//   4. Set aside: each previous output renamed to its backup, never over a file.
//   5. Renamed in: each temporary renamed to its output.
//   6. The folder flushed: the new outputs are on disk, names included ("done" may be said).
//   7. The backups removed; the lock removed by its holder, and the turn given up.
//   An undo, from 3 to 6, first adds "undo" to the lock, then gives each output its previous
//   file back (or removes the new one where none stood), the last one first.
// Invariants: only the turn's live holder changes an output's name, and it reads its lock back
// before each change; a previous output's bytes are never removed before the new outputs are on
// disk: a backup is removed only at 7 or by a recovery that finds every new output in place, and
// no sweep ever removes a backup.
// The next run, finding the lock of a holder that is gone, puts its turn right before it removes
// the lock (Recover), in the folder it opened once (EnterFolder; on Windows, which can't make a
// folder current by its handle, by the folder's path): from 2, or a lock cut inside its intent,
// nothing was moved (a backup of its run found there is named); from 3 to 7 it finishes (all
// outputs are the new files the intent names, and no undo was begun, nor any part of its line:
// the backups go) or undoes (every previous output back, then the temporaries go). Each step
// keeps that choice as it was, so a recovery killed at any call is taken up the same way by the
// next run. It acts only on plain names of the folder shaped as its dead run's; on the backups
// the intent names whoever owns them; and on an output only when it is the new file, known by
// what it is (of the lock's owner, its size, time and digest), never by its numbers, which
// another mount of a share or a number handed on give another file. An output that is not the new
// file is neither removed nor replaced: its backup stays, named on a line (MSG_RECOVERY_KEPT). An
// intent that says anything else, or is of a later version, is left, and nothing is touched.
// An intent of format 1 (no file identities; backups shaped as temporaries) is put right as its
// version did, a file newer than the lock being no new file, and a backup it keeps is given a
// backup's name first, so that no sweep takes it for a temporary. Temporaries of runs that are
// gone are swept in the turn; backups never are.
// What remains open: between a run's reading its lock back and its rename, a lock broken by a
// run that misjudged it (see lock.cpp) can't be told; a failed put-back leaves the backup, named
// to the user (MSG_KEPT); a recovery denied a rename (another user's files in a folder with the
// sticky bit) leaves the lock, named, to that user.
#include "pair.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "fail.h"
#include "system/system.h"
#include "system/system_private.h"
#include "turn/intent.h"
#include "turn/lock.h"

namespace {

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

bool Ends(const std::string& s, const char* end) {
    const std::string e(end);
    return s.size() >= e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
}

// Whether name is a plain name in the lock's folder: no separator, not "." or "..".
bool Plain(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && NameStart(name) == 0 &&
           name.find('\0') == std::string::npos;
}

// Whether the intent names what holder's run could have made: the outputs of one take, in their
// order, its own temporaries and backups (shaped as temporaries in format 1), in the folder.
bool Trusted(const Intent& intent, const Holder& holder) {
    const size_t n = intent.sides.size();
    const std::string first = intent.sides[0].output, one = OutputName("", 0, n);
    const std::string stem = first.substr(0, first.size() - std::min(first.size(), one.size()));
    bool trusted = !stem.empty() && Ends(first, one.c_str());
    for (size_t k = 0; k < n; ++k)
        trusted = trusted && intent.sides[k].output == OutputName(stem, k, n);
    for (const Side& side : intent.sides) {
        trusted = trusted && Plain(side.output) && Plain(side.temp) &&
                  MadeBy(side.temp, holder, false) &&
                  (side.backup.empty() ||
                   (Plain(side.backup) && MadeBy(side.backup, holder, intent.version > 1)));
    }
    return trusted;
}

// A file a recovery leaves, named (message takes the file, then where it is kept, when given),
// so that the user can find what it could not put right.
void SayLeft(const char* message, const std::string& folder, const std::string& what,
             const std::string& where = "") {
    EraseProgress();
    std::printf(message, (folder + what).c_str(), (folder + where).c_str());
    std::printf("\n");
}

// A backup of format 1, shaped as a temporary, would be swept as one: it is given a backup's
// name of this run's own first. Returns the name it is kept under ("" when it can't be renamed).
std::string KeepAsBackup(const std::string& prefix, const std::string& name) {
    if (Ends(name, ".prev")) return name;
    const std::string backup = TemporaryName((prefix + name).c_str(), true);
    return RenameNoReplace((prefix + name).c_str(), backup.c_str()) == Naming::DONE
               ? backup.substr(NameStart(backup))
               : "";
}

// A lock whose intent can't be read (none, or cut short: never flushed) moved nothing by it;
// backups of its run found here all the same (a lock cut by hand, or by a disk that lost its
// flushed end) are named. In format 1 a cut intent's run may have left its backups shaped as
// temporaries: they are kept from the sweep too.
void NameLeftBackups(const std::string& folder, const std::string& prefix, const Holder& holder,
                     bool shaped_as_temporaries) {
    std::vector<std::string> names;
    ListFolder((prefix + "quenlor2-turn.lock").c_str(), "quenlor2-", &names);
    for (const std::string& name : names) {
        if (!MadeBy(name, holder, true) && !(shaped_as_temporaries && MadeBy(name, holder, false)))
            continue;
        const std::string kept = KeepAsBackup(prefix, name);
        if (!kept.empty()) SayLeft(MSG_RECOVERY_LEFT, folder, kept);
    }
}

// What a dead run's turn left, put right (see the head of this file). Its lock, at folder (shown
// in messages), holds text and is the file lock; names are acted on with prefix before them.
Recovered Recover(const std::string& folder, const std::string& prefix, const std::string& text,
                  const FileId& lock) {
    Holder holder;
    size_t at = 0;
    int format = 1;
    Intent intent;
    if (!ReadHolder(text, &holder, &at, &format)) return Recovered::DONE;  // began nothing
    ReadIntent(text, at, format, &intent);
    if (intent.told == Told::LATER) return Recovered::LATER;
    if (intent.told == Told::OTHER || (intent.told == Told::WHOLE && !Trusted(intent, holder))) {
        return Recovered::UNTRUSTED;
    }
    if (intent.told != Told::WHOLE) {
        NameLeftBackups(folder, prefix, holder, format == 1 && intent.told == Told::CUT);
        return Recovered::DONE;
    }
    const std::vector<Side>& sides = intent.sides;
    const size_t n = sides.size();
    const auto path = [&prefix](const std::string& name) { return prefix + name; };
    const auto missing = [&path](const std::string& name) {
        return EntryAt(path(name).c_str()) == Entry::MISSING;
    };
    // Whether the file at the side's output is the new file the intent names, known by what it
    // is, not by its numbers (another mount, or a number handed on, gives them to another file):
    // of the lock's owner, of its size and modification time, and of its digest (format 3). Format
    // 1 says none of them: there, a file of the lock's owner no newer than the lock.
    const auto made = [&](const Side& side) {
        FileId id{};
        std::string none;
        const intptr_t fd = OpenToRead(path(side.output).c_str(), 0, &none, &id);
        // A file this run may not read (its run's umask) is known without its digest.
        const bool unread = fd == NO_DESCRIPTOR && NameIdentity(path(side.output).c_str(), &id);
        uint64_t digest = 0;
        const bool is = (fd != NO_DESCRIPTOR || unread) && id.owner == lock.owner &&
                        (intent.version == 1
                             ? id.mtime <= lock.mtime
                             : id.size == side.made.size && id.mtime == side.made.mtime &&
                                   (intent.version == 2 || unread ||
                                    (FileDigest(fd, id.size, &digest) && digest == side.digest)));
        CloseDescriptor(fd);
        return is;
    };
    const std::string any = path(sides[0].output);  // names the folder to flush
    bool whole = true, finished = !intent.undo;
    std::vector<std::string> kept(n);  // where each previous output that can't go back is kept
    // Read once: nothing the recovery does to one output changes what stands at another.
    std::vector<bool> new_there(n);
    for (size_t k = 0; k < n; ++k) {
        new_there[k] = made(sides[k]);
        finished = finished && new_there[k] && missing(sides[k].temp);
    }
    if (finished) {
        // The backups, whoever owns them: the intent names them, shaped as its run's.
        for (const Side& side : sides) {
            if (!side.backup.empty()) whole = RemoveName(path(side.backup).c_str()) && whole;
        }
    } else {
        for (size_t k = n; k-- > 0;) {  // as the run's own undo goes: the last output first
            const Side& side = sides[k];
            if (!side.backup.empty() && !missing(side.backup)) {
                // Over the new file only: whatever else stands there now stays, and so does the
                // backup, named.
                if (new_there[k] || missing(side.output)) {
                    whole = PutBack(path(side.backup), path(side.output)) && whole;
                } else {
                    kept[k] = KeepAsBackup(prefix, side.backup);
                    whole = !kept[k].empty() && whole;
                }
            } else if (side.backup.empty() && new_there[k]) {
                whole = RemoveName(path(side.output).c_str()) && whole;
            }
        }
        // Every output as it was, on disk, before the temporaries go: without them, the next run
        // would otherwise take what is left for a finished turn.
        if (!whole || !SyncRenamed(any.c_str(), nullptr, 0)) {
            return Recovered::FAILED;
        }
        for (const Side& side : sides) {
            FileId id{};
            if (NameIdentity(path(side.temp).c_str(), &id) && id.owner == lock.owner) {
                whole = RemoveName(path(side.temp).c_str()) && whole;
            }
        }
    }
    // On disk before the lock, and what it says, go; what stays is named once, when it does.
    if (!SyncRenamed(any.c_str(), nullptr, 0) || !whole) return Recovered::FAILED;
    for (size_t k = 0; k < n; ++k) {
        if (!kept[k].empty()) SayLeft(MSG_RECOVERY_KEPT, folder, sides[k].output, kept[k]);
    }
    return Recovered::DONE;
}

// What became of an output's previous file while the outputs are replaced.
enum class Aside {
    NOT_YET,  // nothing was done to it
    NOTHING,  // no file stood at the output's name
    MOVED,    // it was renamed to the backup; the output's name is free for the new one
};

// One output: its name, its temporary and its previous file.
struct Output {
    const char* name = nullptr;
    int temp = -1;
    Aside aside = Aside::NOT_YET;
    std::string backup;           // where the previous file goes; empty when none stands
    intptr_t fd = NO_DESCRIPTOR;  // the new file's, from its rename until the flush
};

// Writes in the lock what the turn will do, and flushes it and the folder, so that the next run
// can finish or undo it after a crash. False when it can't, or a folder stands at an output.
bool WriteIntent(Turn* turn, std::vector<Output>& set) {
    std::vector<Side> sides(set.size());
    for (size_t k = 0; k < set.size(); ++k) {
        Output& out = set[k];
        const Entry entry = EntryAt(out.name);
        if (entry != Entry::MISSING && entry != Entry::OTHER) return false;
        out.backup = entry == Entry::MISSING ? "" : TemporaryName(out.name, true);
        const std::string temp = TemporaryPath(out.temp);
        // What the new file is, read through its name, as a recovery will read it.
        std::string none;
        const intptr_t fd = OpenToRead(temp.c_str(), 0, &none, &sides[k].made);
        const bool known = fd != NO_DESCRIPTOR &&
                           SameFile(sides[k].made, *TemporaryIdentity(out.temp)) &&
                           FileDigest(fd, sides[k].made.size, &sides[k].digest);
        CloseDescriptor(fd);
        if (!known) return false;
        sides[k].output = out.name + NameStart(out.name);
        sides[k].backup = out.backup.substr(NameStart(out.backup));
        sides[k].temp = temp.substr(NameStart(temp));
    }
    turn->intent = Note(turn, IntentText(sides)) && SyncRenamed(turn->lock.c_str(), nullptr, 0);
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

// The new files' descriptors, from their renames until the flush.
std::vector<intptr_t> NewFiles(const std::vector<Output>& set) {
    std::vector<intptr_t> fds;
    for (const Output& out : set) fds.push_back(out.fd);
    return fds;
}

// Closes the new files' descriptors still open.
void CloseNew(std::vector<Output>& set) {
    for (Output& out : set) {
        if (out.fd != NO_DESCRIPTOR) CloseDescriptor(out.fd), out.fd = NO_DESCRIPTOR;
    }
}

}  // namespace

std::string OutputName(const std::string& stem, size_t k, size_t n) {
    if (n == 2) return stem + (k == 0 ? "L.wav" : "R.wav");
    const std::string place = std::to_string(k + 1);
    return stem + "_" + std::string(std::to_string(n).size() - place.size(), '0') + place + ".wav";
}

bool ReplaceOutputs(size_t n, const int* temps, const char* const* names, std::string* kept) {
    std::vector<Output> set(n);
    for (size_t k = 0; k < n; ++k) set[k].name = names[k], set[k].temp = temps[k];
    Turn turn;
    size_t placed = 0;
    for (const Output& out : set) {
        const intptr_t fd = TemporaryDescriptor(out.temp);
        // The mode before the flush, so that it covers it too; the flush before the turn, so
        // that other runs and signals don't wait on the disk.
        if (fd == NO_DESCRIPTOR || !CopyMode(out.name, fd) || !SyncFile(fd)) return false;
    }
    if (!TakeTurn(std::string(names[0], NameStart(names[0])), Recover, &turn)) return false;
    SweepDeadRuns(turn.folder);
    for (const Output& out : set) {
        if (!StillOurs(out.temp)) goto give_back;
    }
    if (!WriteIntent(&turn, set)) goto give_back;
    for (Output& out : set) {
        if (!SetAside(turn, &out)) goto give_back;
    }
    for (; placed < n; ++placed) {
        Output& out = set[placed];
        // A signal that came in the turn leaves the previous outputs, as one before it does.
        if (Interrupted() || !StillHeld(turn) ||
            Patiently(RenameOver, TemporaryPath(out.temp), out.name) != Naming::DONE) {
            goto give_back;
        }
        out.fd = Release(out.temp);
    }
    // The previous outputs are kept until the new ones are on disk, names included: "done" means
    // that a crash can't take them back. A backup that can't be removed after that is only a copy
    // left behind, as a temporary whose removal fails is. A signal that comes now waits for all
    // that.
    if (SyncRenamed(names[0], NewFiles(set).data(), n)) {
        CloseNew(set);
        for (const Output& out : set) {
            if (out.aside == Aside::MOVED) RemoveName(out.backup.c_str());
        }
        GiveUpTurn(&turn);
        return true;
    }

give_back:  // in the turn: each output as it was, the last one first
    CloseNew(set);
    // What the undo does is noted first, so that a crash in it is undone, not finished.
    if (turn.intent) Note(&turn, UNDO_LINE);
    const bool held = StillHeld(turn);
    for (size_t k = n; k-- > 0;) {
        if (held) {
            GiveBack(set[k], k < placed, &kept[k]);
        } else if (set[k].aside == Aside::MOVED) {
            kept[k] = set[k].backup;  // the outputs are another run's now
        }
    }
    SyncRenamed(names[0], nullptr, 0);
    GiveUpTurn(&turn);
    return false;
}
