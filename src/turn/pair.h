// Putting the new outputs in place of the previous ones, as one.
#pragma once

#include <cstddef>
#include <string>

// The name of output k of the n a take splits into, after stem (the input's folder and base
// name): a stereo take's pair ends in L.wav and R.wav; any other set in _1.wav ... _n.wav, the
// channel's place in the file, zero-padded to n's width.
std::string OutputName(const std::string& stem, size_t k, size_t n);

// Puts the n temporaries temps in place of their outputs names as one (for a pair: the left and
// the right). Their modes are copied from the
// outputs they replace and they are flushed to disk first; then, in the pair's turn (one run at a
// time in the outputs' folder, on this machine or another sharing it), with signals blocked and
// what the turn will do written in its lock: both previous outputs are moved aside, the new ones
// renamed into place (unless a signal came meanwhile: that is a failure), the folder flushed and
// the previous outputs removed. A turn that a dead run left is finished or undone first, and the
// temporaries of runs that are gone are removed.
// True ("done") when the new outputs stand and are on disk. On failure the previous ones are back,
// but when the file system fails twice over or the turn was lost: then kept[k] names the file that
// still holds output k's previous file (the output's name may show the new one, or nothing). The
// caller's failure removes the temporaries.
bool ReplaceOutputs(size_t n, const int* temps, const char* const* names, std::string* kept);
