#include "fail.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "system/system.h"

void Fail(const char* message, int status, ...) {
    // The temporaries first: on Windows, a Ctrl-C handler that has already removed them (and so
    // made this failure) holds them, and ends the process here, before a message can mislead.
    RemoveTemporaries();
    EraseProgress();
    va_list args;
    va_start(args, status);
    std::vprintf(message, args);
    va_end(args);
    std::printf("\n");
    std::exit(status);
}
