// The pair's turn: which run may change an output's name in a folder. Its place in the whole
// replacement is stated at the head of pair.cpp.
#pragma once

#include <string>

#include "system/system_private.h"

// What putting right a dead run's turn came to: done (the lock may go), failed (the file system
// failed: the lock stays, for another try), untrusted (the lock says what its run could not have
// made: it stays, and nothing was touched), or later (a later version's, which this one can't
// read: the same).
enum class Recovered { DONE, FAILED, UNTRUSTED, LATER };
// Puts right the turn whose lock, at folder (as messages name it), holds text; lock is that file
// (its owner among it). Names are acted on with prefix before them: empty where the folder was
// entered (EnterFolder).
using Recovery = Recovered (*)(const std::string& folder, const std::string& prefix,
                               const std::string& text, const FileId& lock);

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
