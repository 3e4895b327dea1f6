// The pair's turn: which run may change an output's name in a folder. Its place in the whole
// replacement is stated at the head of pair.cpp.
#pragma once

#include <string>

#include "system/system_private.h"

// What putting right a dead run's turn came to: done (the lock may go), failed (the file system
// failed: the lock stays, for another try), or untrusted (the lock says what its run could not
// have made: it stays, and nothing was touched).
enum class Recovered { DONE, FAILED, UNTRUSTED };
// Puts right the turn whose lock, at folder, holds text; lock is that file (its owner among it).
using Recovery = Recovered (*)(const std::string& folder, const std::string& text,
                               const FileId& lock);

// A turn held: its lock's name, what the lock holds, the descriptor it is written through and
// the one that holds the kernel's lock on it (the same but where the lock's name is a file of
// its own to the system); whether the lock says what the turn will do.
struct Turn {
    std::string folder, lock, text;
    intptr_t fd = NO_DESCRIPTOR, held = NO_DESCRIPTOR;
    bool intent = false;
};

// Waits for the pair's turn in folder and takes it, putting right with recover a turn whose
// holder is gone, and returns with signals blocked; false, with signals as they were, when it
// can't be had within 10 seconds (a line then says why).
bool TakeTurn(const std::string& folder, Recovery recover, Turn* turn);
// Whether the turn's lock still stands as this run's.
bool StillHeld(const Turn& turn);
// Appends what to the lock and flushes it; false when that fails.
bool Note(Turn* turn, const std::string& what);
// Gives up the turn: its lock goes when it still reads as this run's, and the signals come back.
void GiveUpTurn(Turn* turn);
// Removes from folder the unfinished outputs of runs of this machine that are gone, and the
// breaking locks dead runs left; in the turn, so that no dead run's turn still needs them.
void SweepDeadRuns(const std::string& folder);

// A lock's lines: "key length:bytes" for a name, so that any byte may stand in it; "key a b c"
// for a file's identity (device and file number), then, for a file written, "d e" (its size
// and modification time).
std::string Field(const std::string& text);
std::string IdText(const FileId& id, bool written = false);
bool ReadLine(const std::string& text, size_t* at, const char* key, bool field, std::string* value);
bool ReadId(const std::string& text, size_t* at, const char* key, FileId* id);
// Reads the holder a lock names; false when it names none. *at is left after it.
bool ReadHolder(const std::string& text, Holder* h, size_t* at);
