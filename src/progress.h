// A long split's progress, on standard error where that is a terminal.
#pragma once

#include <cstdint>

// Starts counting the bytes a split writes, of total; the line shows once it has run a second.
void PROGRESS_START(uint64_t total);
// Counts bytes written, and draws the line anew at most ten times a second: where no line
// shows, it costs nothing but the count, and otherwise a clock read.
void PROGRESS(uint64_t bytes);
