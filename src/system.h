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
// Whether the last component of path is no longer than its folder allows (pathconf's
// _PC_NAME_MAX; 255 UTF-16 units on Windows). True when the folder can't tell.
bool NameFits(const char* path);
// Moves file to byte pos from its start; false on failure.
bool SeekTo(std::FILE* file, uint64_t pos);
// Opens path (UTF-8) for reading in binary mode, without blocking or taking a controlling
// terminal; nullptr on failure.
std::FILE* OpenForReading(const char* path);

// Starts writing the file's written data to disk, without waiting, so that a later flush waits
// only for what came last; nothing where the system has no such call.
void StartWriteBack(std::FILE* file);

// Creates a new file in path's folder under a short name of its own (quenlor2-1a2b3c4d.part),
// never through an existing name or link, with the permissions a new file gets, and records it
// for removal; fills temp with its number. nullptr on failure, with nothing left behind.
std::FILE* CreateTemporary(const char* path, int* temp);
// A stream appending to temporary temp, when its name still leads to the file CreateTemporary
// made; nullptr otherwise.
std::FILE* ReopenTemporary(int temp);
// Renames both temporaries over their outputs as one, their data on disk first and the folder
// flushed after: afterwards the outputs are both new, or, on failure, as they were before (but
// when only the folder's flush failed: then the new pair stands, maybe not yet on disk).
// Replaced outputs keep their permission bits. Runs replacing one pair take turns; signals are
// blocked meanwhile. When the previous left output could not
// be put back, or its backup not removed, fills kept with the name it is kept under (and the
// left output's name shows the new one). The caller's failure removes the temporaries.
bool ReplacePair(int left_temp, const char* left, int right_temp, const char* right,
                 std::string* kept);
// Removes the temporaries not yet renamed into place. Safe to call from a signal handler.
void RemoveTemporaries();

// Opens the null device on closed standard descriptors, so that no file of the program's takes
// their place; has the terminating signals remove the temporaries before the process ends; and
// gives the arguments in UTF-8.
void PrepareProcess(int* argc, char*** argv);

// Where the last component of path starts: after its last folder separator (or drive prefix).
size_t NameStart(const std::string& path);
