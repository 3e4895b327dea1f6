#include "fail.h"

#include <cstdio>
#include <cstdlib>

void Fail(const char* line, int status) {
    std::printf("%s\n", line);
    std::exit(status);
}
