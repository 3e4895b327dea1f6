// What differs from one operating system to another, behind a few small functions: file
// identity and type, opening the input, temporary outputs renamed into place, the process's
// standard descriptors and signals, and path separators. Each system has its own file
// (system_posix.cpp, system_windows.cpp); system.cpp holds what they share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// A file's identity as stat gives it: device and inode say which file it is; size and
// modification time (nanoseconds since 1970 on POSIX, 100 ns units since 1601 on Windows; only
// ever compared) say whether it was written. The change time is left out: it also moves when
// only the file's metadata changes (its mode, links or extended attributes).
struct FileId {
    uint64_t device, inode, size, mtime;
    uint64_t inode_high = 0;  // the file number's upper half where it has 128 bits (Windows, ReFS)
    uint64_t owner = 0;       // the user who owns it (POSIX; 0 on Windows, which has no such owner)
};
// Whether a and b are one file: the same device and inode.
bool SameFile(const FileId& a, const FileId& b);
// Whether a and b are one file of the same size and modification time.
bool Unchanged(const FileId& a, const FileId& b);

// fstat of the open stream; false when it fails.
bool StreamIdentity(std::FILE* file, FileId* id);
// stat of path, links followed; false when it fails, with missing (when given) set when nothing
// stands there (rather than the stat failing).
bool PathIdentity(const char* path, FileId* id, bool* missing);
// stat of path, links followed, when it is a regular file; false otherwise. Type and identity
// come from one stat, so they describe the same file.
bool RegularFileIdentity(const char* path, FileId* id);
// Whether a folder stands at path itself (lstat: a link is not followed).
bool IsFolder(const char* path);
// Whether the folder of path takes its last component as a name: no longer than pathconf's
// _PC_NAME_MAX in bytes, or, past that, taken by the file system when tried under a name of the
// same length (exFAT and NTFS count 255 UTF-16 units); 255 UTF-16 units on Windows. True when
// the folder can't tell. False, too, when path, or a temporary's beside it, is longer than the
// system takes a path.
bool NameFits(const char* path);
// Moves file to byte pos from its start; false on failure.
bool SeekTo(std::FILE* file, uint64_t pos);
// Opens path (UTF-8) for reading in binary mode, without blocking or taking a controlling
// terminal (blocking again once it is known to be a regular file), to be read from start to end;
// nullptr on failure.
std::FILE* OpenForReading(const char* path);

// Starts flushing the file (what it has in the cache written back, then the disk's own cache)
// without waiting, where the system can, one flush at a time; false where it can't.
bool StartFlush(std::FILE* file);
// How the flush last started is going: over (or none started), still running, or failed; with
// wait, once it is over.
enum class Flush { OVER, RUNNING, FAILED };
Flush FlushProgress(bool wait);
// Writes bytes from to to of the file to the disk and waits for them; false when the disk
// reported a failure to write them (a flush after it may no longer say so).
bool WriteBack(std::FILE* file, uint64_t from, uint64_t to);
// Starts writing bytes from to to of the file to the disk, without waiting (where the system
// can): a flush after it then waits for less.
void StartWriteBack(std::FILE* file, uint64_t from, uint64_t to);
// Drops bytes from to to of the file, on disk, from the cache (where the system can), so that
// they don't push out what is still to be read.
void DropCached(std::FILE* file, uint64_t from, uint64_t to);
// Reserves size bytes on disk for temporary temp, without changing its length, so that a full
// disk shows before the copy; true where the file system can't reserve (the writes then find
// out), false when the room is not there.
bool ReserveSpace(int temp, uint64_t size);

// Creates a new file in path's folder under a short name of its own (quenlor2-1a2b3c4d.part),
// never through an existing name or link, with the permissions a new file gets, and records it
// for removal; fills temp with its number. nullptr on failure, with nothing left behind.
std::FILE* CreateTemporary(const char* path, int* temp);
// A stream appending to temporary temp, when its name still leads to the file CreateTemporary
// made; nullptr otherwise.
std::FILE* ReopenTemporary(int temp);
// The temporaries' record, for the pair's replacement: temp's name (nullptr when it is not
// recorded) and descriptor; whether its name still leads to the file made; its record taken back
// once it is renamed into place, returning its descriptor, still open, for the caller to close.
const char* TemporaryPath(int temp);
intptr_t TemporaryDescriptor(int temp);
const FileId* TemporaryIdentity(int temp);
bool StillOurs(int temp);
intptr_t Release(int temp);
constexpr size_t TEMPORARY_NAME_LENGTH = 57;
// A new name in path's folder of the shape of a temporary (quenlor2-, then hexadecimal digits that
// tell this machine, its boot, this process and its start, and the attempt, then .part), different
// from one call to the next. A previous output set aside gets a name of the same shape that ends
// in .prev instead (backup): no run ever removes such a file but the one that set it aside.
std::string TemporaryName(const char* path, bool backup = false);
// Whether name (a last component) has a temporary's shape and was made by a process of this
// machine that no longer runs.
bool LeftByDeadRun(const std::string& name);
// Removes temporary temp, or all those not yet renamed into place, with the terminating signals
// blocked so that none ends the process half-way.
void RemoveTemporary(int temp);
void RemoveTemporaries();

// The progress line on standard error, shown only where that is a terminal (a console on
// Windows): drawn anew in place of the one before, or erased (safe in a signal handler; the
// process also erases it when it ends).
bool ErrorIsTerminal();
void ShowProgress(const std::string& line);
void EraseProgress();
// Whether standard output was closed when the process started: a message then can't be written.
bool OutputWasClosed();

// Opens the null device on closed standard descriptors, so that no file of the program's takes
// their place; has the terminating signals remove the temporaries before the process ends; and
// gives the arguments in UTF-8.
void PrepareProcess(int* argc, char*** argv);

// Where the last component of path starts: after its last folder separator (or drive prefix).
size_t NameStart(const std::string& path);
