// The lock's format, its holder, the intent and the undo, written and read side by side (what the
// recovery does with them is stated at the head of pair.cpp).
#pragma once

#include <string>
#include <vector>

#include "system/system_private.h"

// The format this program writes. 1: a holder without its file, an intent without the new files
// and backups shaped as temporaries (.part); 2: the holder's file and each new file's identity;
// 3: the version line after the intent's end, and each new file's digest. The version stands
// after "end" so that a program of format 2 refuses the lock ("names files its split did not
// make") rather than act on it; one of format 1 takes it for a turn never begun, and leaves the
// backups.
constexpr int LOCK_VERSION = 3;
// A turn of more than two outputs (the channels of a poly take) is of format 4: its first two
// outputs as in format 3, "end", then "version 4", the other outputs and every new file's digest;
// a program of format 3 reads the version and leaves the turn alone.
constexpr int SET_VERSION = 4;
// The most outputs a turn names.
constexpr size_t MOST_OUTPUTS = 64;

// One output of a turn, as its intent names it: the output's name, the backup its previous file
// is moved to (empty when none stood there), the new file's temporary name, and what the new file
// is (its size and modification time; its numbers only tell a reader of format 2) and its digest.
struct Side {
    std::string output, backup, temp;
    FileId made{};
    uint64_t digest = 0;
};

// What a lock says of its turn.
enum class Told {
    NOTHING,  // no intent: the turn had not begun, nothing was moved
    CUT,      // an intent cut short, never flushed: nothing was moved by it
    WHOLE,    // a whole intent, perhaps followed by its undo
    LATER,    // an intent of a later format, which this program can't read
    OTHER,    // what no run of this program writes
};
struct Intent {
    Told told = Told::NOTHING;
    int version = 0;
    std::vector<Side> sides;
    bool undo = false;
};

// The holder's lines, and the holder read back; false when the text names none (*at is left
// after it, format 1 or 2 by whether it names its file).
std::string HolderText(const Holder& h);
bool ReadHolder(const std::string& text, Holder* h, size_t* at, int* format = nullptr);
// The intent's lines, through its end and version (format 3 for two outputs, 4 for more); the
// line an undo adds.
std::string IntentText(const std::vector<Side>& sides);
constexpr char UNDO_LINE[] = "undo\n";
// Reads what follows the holder, from at, of a holder of format holder_format.
void ReadIntent(const std::string& text, size_t at, int holder_format, Intent* intent);

// A digest of the file of fd, size bytes long: its first and last 4 KiB, its header and the end of
// its samples (beside its size and time, enough to tell another file; a short take's run would
// pay for more). False when they can't be read.
bool FileDigest(intptr_t fd, uint64_t size, uint64_t* digest);

// A name's line ("key length:bytes", so that any byte may stand in it) and a file's ("key device
// inode inode_high", then, for a file written, "size mtime").
std::string Field(const std::string& text);
std::string IdText(const FileId& id, bool written = false);
