// The system calls that the shared part of the system layer (system.cpp) makes, one small
// function each. Each system's file provides them; a test build links a fake that can fail any
// of them and records their order.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "system.h"

// A descriptor (a handle on Windows); NO_DESCRIPTOR when there is none.
constexpr intptr_t NO_DESCRIPTOR = -1;

// Who runs this program, as a lock or a temporary's name tells it: the host's name; what tells
// this machine from another of that name (its machine id and process-id namespace on Linux); what
// tells one boot of it from the next (empty where a process's start time already does); the
// process's number and its start time. A lock's holder also records the lock file as it sees it.
struct Holder {
    std::string host, machine, boot;
    uint64_t pid = 0, start = 0;
    FileId file{};
};
void ThisProcess(Holder* me);
// Whether name (a last component) has a temporary's shape (a backup's with backup) and was made
// by the process that holder names.
bool MadeBy(const std::string& name, const Holder& holder, bool backup);
// This process's user (0 on Windows), and a user's name ("" when it can't be found).
uint64_t ThisUser();
std::string UserName(uint64_t user);
// The start time of process pid of this machine and boot, or UNKNOWN_START when it runs but its
// start can't be read (another user's, where the system hides it); false when no such process
// runs (one that has ended but is not yet reaped runs no more).
constexpr uint64_t UNKNOWN_START = ~uint64_t{0};
bool StartOf(uint64_t pid, uint64_t* start);
// Blocks the terminating signals, saving the caller's mask (on Windows: holds the console
// handler off); RestoreSignals restores the saved mask, and a signal that came meanwhile then
// takes effect. Not nested.
void BlockSignals();
void RestoreSignals();
// Whether a terminating signal (Ctrl-C on Windows) came while they were blocked and waits to
// take effect.
bool Interrupted();
// Closes and removes the temporaries not yet renamed into place, with signals as they are: the
// signal handler's own path.
void DiscardTemporaries();
// Writes bytes to standard error as they are, ignoring failures. Safe in a signal handler.
void WriteError(const char* bytes, size_t n);
// Notes that standard output was closed at the start (PrepareProcess).
void NoteOutputClosed();
// Sleeps for ms milliseconds.
void Pause(int ms);
// How long a rename or an open refused for a moment is tried again (pausing 10, 20, 40... ms):
// on Windows an indexer or a virus scanner opens a new file for a moment, and an editor may not
// have closed an old one yet.
constexpr int BUSY_WAIT_MS = 1000;
// open(name, O_CREAT | O_EXCL) for writing, with the permissions a new file gets;
// NO_DESCRIPTOR on failure, with taken set when the name exists.
intptr_t CreateNew(const char* name, bool* taken);
// open(name) to append to, a link not followed; NO_DESCRIPTOR on failure.
intptr_t OpenToAppend(const char* name);
// fstat of the descriptor; false when it fails.
bool DescriptorIdentity(intptr_t fd, FileId* id);
// lstat of name (a link is not followed); false when it fails.
bool NameIdentity(const char* name, FileId* id);
// fstat of the file at name, opened for it (a link is not followed): a network share's client
// asks its server, where a stat may answer from what it remembers of a file another client
// removed. False when it can't be opened.
bool OpenIdentity(const char* name, FileId* id);
// A binary stream on a duplicate of fd (the descriptor itself stays open), appending when
// asked; nullptr on failure.
std::FILE* StreamOnDuplicate(intptr_t fd, bool append);
// Appends bytes to the file of fd; false on failure.
bool WriteAll(intptr_t fd, const std::string& bytes);
// Makes the file of fd readable by every user (whatever the umask), so that any user who may write
// in its folder can tell whose it is; false on failure.
bool ReadableByAll(intptr_t fd);
// Opens the regular file at name for reading (a link is not followed) and reads up to most bytes
// of it into bytes and its identity into id; the descriptor stays open, for the caller to lock
// and close. NO_DESCRIPTOR when there is none, or it can't be opened or read.
intptr_t OpenToRead(const char* name, size_t most, std::string* bytes, FileId* id);
// The operating system's own lock on fd's file (flock; LockFileEx), which it drops when fd is
// closed or the process ends, however it ends and in whatever namespace it ran: taken (waiting
// for it, when asked), refused (another open file holds it), or none (the file system has no
// such locks).
enum class KernelLock { TAKEN, REFUSED, NONE };
KernelLock LockFile(intptr_t fd, bool wait);
// Reads up to n bytes of fd's file from byte from into bytes (fewer at its end); false on failure.
bool ReadRange(intptr_t fd, uint64_t from, size_t n, std::string* bytes);
// Makes path's folder, opened once, the one where plain names are found, so that no folder swapped
// for a link meanwhile redirects what is done by them; saved gets the folder where they were found
// before. Where the system can't (Windows), or the folder can't be opened, nothing changes and
// prefix gets path's folder, to be put before each name; otherwise prefix is empty.
void EnterFolder(const char* path, intptr_t* saved, std::string* prefix);
// Makes saved the folder where plain names are found again, and closes it.
void LeaveFolder(intptr_t saved);
// Opens the folder of path, for its kernel lock; NO_DESCRIPTOR when it can't (on Windows, always).
intptr_t OpenFolder(const char* path);
// Fills names with the names in path's folder that start with prefix (none when it can't be
// read).
void ListFolder(const char* path, const char* prefix, std::vector<std::string>* names);
// close(fd). Safe in a signal handler.
void CloseDescriptor(intptr_t fd);
// fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size); true where the file system can't, false on a
// full disk or another failure.
bool Allocate(intptr_t fd, uint64_t size);
// fsync(fd): the file's data and attributes (its mode among them) on disk; false on failure.
bool SyncFile(intptr_t fd);
// Makes the renames that put the count files of fds at their names in first's folder survive a
// crash: fsync of the folder on POSIX; on Windows FlushFileBuffers of each file, which writes
// NTFS's log up to its renames. False on failure. Where the folder can't be opened to be flushed
// (the user may write in it but not read it), or its file system can't flush, there is nothing
// to do.
bool SyncRenamed(const char* first, const intptr_t* fds, size_t count);
// unlink(name); false on failure, but true when nothing stood there (as a retried call on a
// network share reports). Safe in a signal handler.
bool RemoveName(const char* name);
// Gives fd's file the permission bits of the regular file at output, when there is one (on
// Windows its attributes and the access list set on it); false when they can't be read or set.
bool CopyMode(const char* output, intptr_t fd);

// What lstat says stands at a name.
enum class Entry { MISSING, FOLDER, OTHER, UNKNOWN };
Entry EntryAt(const char* name);

// What a call that gives a file a new name did.
enum class Naming {
    DONE,       // the new name leads to the file
    TAKEN,      // the new name exists: nothing done
    NO_SOURCE,  // nothing stands at the old name
    BUSY,       // refused for a moment: another program has a file open without sharing it
    NO_LINKS,   // the file system has no hard links
    FAILED,     // any other failure
};
// link(from, to): a second name for the file, never replacing what stands at to.
Naming LinkName(const char* from, const char* to);
// rename(from, to) that never replaces what stands at to.
Naming RenameNoReplace(const char* from, const char* to);
// rename(from, to), replacing what stands at to.
Naming RenameOver(const char* from, const char* to);
