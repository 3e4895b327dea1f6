// The primitives that each system's file provides to the shared part of the system layer
// (system.cpp), which keeps the temporaries' bookkeeping in one place.
#pragma once

#include <cstdint>
#include <cstdio>

// The process's number, to tell one run's temporary names from another's.
unsigned ProcessId();
// While held, an interrupt waits: a temporary is never created, renamed or removed unnoted.
void HoldInterrupts(bool hold);
// Creates name, which must not exist yet, with the permissions a new file gets, for writing in
// binary mode; it can be removed while open. nullptr and errno EEXIST when the name is taken.
std::FILE* CreateNew(const char* name);
// Renames from onto to, replacing whatever file or link stands there; false on failure.
bool RenameOver(const char* from, const char* to);
// Removes the file or link name; safe to call from an interrupt handler.
void RemoveFile(const char* name);
// Opens name, which must exist and be no link, for appending in binary mode; nullptr otherwise.
std::FILE* OpenExisting(const char* name);
// What KeepAside did with what stood at path.
constexpr int KEPT_NONE = -1;    // it can't be kept (a folder, say)
constexpr int KEPT_NOTHING = 0;  // nothing stood there
constexpr int KEPT_LINKED = 1;   // backup is a second name of it; path still stands
constexpr int KEPT_MOVED = 2;    // it was moved to backup
// Keeps what stands at path as backup before path is replaced.
int KeepAside(const char* path, const char* backup);
// Gives temp the permission bits of the regular file at output, when there is one.
void KeepMode(const char* output, const char* temp);
// How long LockPair waits for its turn. Another run holds it for a few renames at most; a folder
// locked far longer is held by some other program for its own ends (a fuzzer locks its output
// folder, say), and the run then goes on without the lock rather than wait for ever.
constexpr int LOCK_WAIT_MS = 5000;
// Waits until no other run is replacing outputs beside left, and holds that turn; -1 when the
// system offers no lock there, or none within LOCK_WAIT_MS, and the run goes on without.
intptr_t LockPair(const char* left);
// Gives up the turn LockPair took.
void UnlockPair(intptr_t lock);
// Holds name open (not through a link) so that its file number can't go to another file while
// the program counts on it; -1 when it can't. Unpin is safe in an interrupt handler.
intptr_t Pin(const char* name);
void Unpin(intptr_t pin);
