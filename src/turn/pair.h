// Putting the new outputs in place of the previous pair, as one.
#pragma once

#include <string>

// Puts both temporaries in place of their outputs as one. Their modes are copied from the
// outputs they replace and they are flushed to disk first; then, in the pair's turn (one run at a
// time in the outputs' folder, on this machine or another sharing it), with signals blocked and
// what the turn will do written in its lock: both previous outputs are moved aside, the new ones
// renamed into place (unless a signal came meanwhile: that is a failure), the folder flushed and
// the previous outputs removed. A turn that a dead run left is finished or undone first, and the
// temporaries of runs that are gone are removed.
// True ("done") when the new pair stands and is on disk. On failure the previous pair is back,
// but when the file system fails twice over or the turn was lost: then kept[0] (left) and kept[1]
// (right) name the files that still hold a previous output (the output's name may show the new
// one, or nothing). The caller's failure removes the temporaries.
bool ReplacePair(int left_temp, const char* left, int right_temp, const char* right,
                 std::string kept[2]);
