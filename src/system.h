// What differs from one operating system to another, behind a few small functions: file
// identity and type, opening the input, temporary outputs put in place by renaming, the
// process's standard descriptors and interrupt signals, and path separators. Each system has
// its own file (system_posix.cpp, system_windows.cpp); system.cpp holds what they share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// A file's identity, in words: what it is (device and file number) and what it holds (size,
// modification time and change time: nanoseconds since 1970 on POSIX, 100 ns units since 1601
// on Windows; only ever compared). The change time also moves when a rewrite puts the
// modification time back.
constexpr int ID_DEVICE = 0, ID_FILE = 1, ID_SIZE = 2, ID_TIME = 3, ID_CHANGE = 4, ID_WORDS = 5;

// Fills id from the open file; false when the system can't tell.
bool FileIdentity(std::FILE* file, uint64_t* id);
// Fills id from the file path leads to, links followed; false when there is none.
bool PathIdentity(const char* path, uint64_t* id);
// Fills id from the file path leads to, links followed, when that is a regular file; false
// otherwise. Type and identity come from one look, so they describe the same file.
bool RegularFileIdentity(const char* path, uint64_t* id);
// Whether a folder stands at path itself (a link is not followed).
bool IsFolder(const char* path);
// Moves file to byte pos from its start; false on failure.
bool SeekTo(std::FILE* file, uint64_t pos);
// Opens path (UTF-8) for reading in binary mode, without blocking or taking a controlling
// terminal; nullptr on failure.
std::FILE* OpenForReading(const char* path);
// Creates a new file in path's folder under a short name of its own (quenlor2-1a2b3c4d.part),
// never through an existing name or link, with the permissions a new file gets, and notes it for
// removal; fills temp with its name. nullptr on failure.
std::FILE* CreateTemporary(const char* path, std::string* temp);
// Opens the temporary temp for appending, when it is still the file CreateTemporary made: never
// created again, never through a link. nullptr otherwise.
std::FILE* ReopenTemporary(const char* temp);
// Puts both temporaries in place of their outputs as one: afterwards the outputs are both new,
// or, on failure, as they were before, the temporaries removed. Replaced outputs keep their
// permission bits. Runs replacing one pair take turns; interrupts wait until it is over.
bool ReplacePair(const char* left_temp, const char* left, const char* right_temp,
                 const char* right);
// Removes the temporaries not yet put in place. Safe to call from a signal handler.
void RemoveTemporaries();

// Opens the null device on closed standard descriptors, so that no file of the program's takes
// their place; has interrupts remove the temporaries before the process ends; and gives the
// arguments in UTF-8.
void PrepareProcess(int* argc, char*** argv);

// Where the last component of path starts: after its last folder separator (or drive prefix).
size_t NameStart(const std::string& path);
