// hold_file FILE MS: holds FILE open sharing nothing for MS milliseconds, as an indexer or a
// virus scanner does for a moment.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int, char** argv) {
    const HANDLE file = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    std::printf(file == INVALID_HANDLE_VALUE ? "failed\n" : "held\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(std::atoi(argv[2])));
    return CloseHandle(file) ? 0 : 1;
}
