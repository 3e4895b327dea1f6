// The primitives that each system's file provides to the shared part of the system layer
// (system.cpp), which keeps the temporaries' bookkeeping in one place.
#pragma once

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
