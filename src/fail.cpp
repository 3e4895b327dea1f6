#include "fail.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "system.h"

void Fail(const char* message, int status, ...) {
    va_list args;
    va_start(args, status);
    std::vprintf(message, args);
    va_end(args);
    std::printf("\n");
    RemoveTemporaries();
    std::exit(status);
}
