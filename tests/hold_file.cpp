// Holds a file open as another Windows program does for a moment (an indexer, a virus scanner,
// an editor): hold_file FILE MS [new] opens FILE sharing nothing (creates it with "new", and then
// deletes it at the end), prints "held", waits MS milliseconds, closes it and prints "released".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const bool make = argc > 3 && std::strcmp(argv[3], "new") == 0;
    const HANDLE file = CreateFileA(argv[1], GENERIC_READ | DELETE, 0, nullptr,
                                    make ? CREATE_NEW : OPEN_EXISTING,
                                    make ? FILE_FLAG_DELETE_ON_CLOSE : 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(std::atoi(argv[2])));
    CloseHandle(file);
    std::printf("released\n");
    return 0;
}
