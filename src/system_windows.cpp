// The system layer on Windows: UTF-8 names become the wide names Windows takes, and console
// interrupts, which come on a thread of their own, are ordered against the main thread by a lock.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // slim reader/writer locks
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cwchar>
#include <cwctype>

#include "system.h"
#include "system_private.h"

namespace {

// Held by the main thread while it creates or renames a temporary, and taken for good by the
// interrupt handler, so that neither sees the other's work half done.
SRWLOCK temporaries_lock = SRWLOCK_INIT;

std::wstring Wide(const char* utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &wide[0], n);
    wide.resize(wide.size() - 1);
    return wide;
}

std::string Utf8(const wchar_t* wide) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide, -1, &utf8[0], n, nullptr, nullptr);
    utf8.resize(utf8.size() - 1);
    return utf8;
}

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Fills id, and attributes when asked, from the open handle; false when the system can't tell.
bool IdentityFromHandle(HANDLE handle, uint64_t* id, DWORD* attributes = nullptr) {
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info) ||
        !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        return false;
    }
    if (attributes != nullptr) *attributes = info.dwFileAttributes;
    id[ID_CHANGE] = static_cast<uint64_t>(basic.ChangeTime.QuadPart);
    id[ID_DEVICE] = info.dwVolumeSerialNumber;
    id[ID_FILE] = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    id[ID_SIZE] = uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    id[ID_TIME] =
        uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32 | info.ftLastWriteTime.dwLowDateTime;
    return true;
}

// Fills id from the file path leads to, links followed, when it is a file on a disk (a folder
// too when folders are wanted); false otherwise. Opened for its attributes only, so nothing
// of it is read, and type and identity come from that one handle.
bool IdentityOfPath(const char* path, bool folders, uint64_t* id) {
    const HANDLE handle = CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    DWORD attributes = 0;
    const bool known = GetFileType(handle) == FILE_TYPE_DISK &&
                       IdentityFromHandle(handle, id, &attributes) &&
                       (folders || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0);
    CloseHandle(handle);
    return known;
}

// A C stream on a file handle; the handle is closed when no stream can be made.
std::FILE* StreamOn(HANDLE handle, int flags, const char* mode) {
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, mode);
    if (file == nullptr) _close(fd);
    return file;
}

BOOL WINAPI OnInterrupt(DWORD) {
    AcquireSRWLockExclusive(&temporaries_lock);  // never released: the process ends here
    RemoveTemporaries();
    // Ends as Ctrl-C ends a console program, without waiting for the main thread's streams.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    return TRUE;
}

}  // namespace

unsigned ProcessId() {
    return static_cast<unsigned>(GetCurrentProcessId());
}

void HoldInterrupts(bool hold) {
    if (hold) {
        AcquireSRWLockExclusive(&temporaries_lock);
    } else {
        ReleaseSRWLockExclusive(&temporaries_lock);
    }
}

std::FILE* CreateNew(const char* name) {
    // Delete sharing lets an interrupt remove the temporary while it is being written.
    const HANDLE handle = CreateFileW(Wide(name).c_str(), GENERIC_WRITE, SHARE_ALL, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        errno = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? EEXIST : EACCES;
        return nullptr;
    }
    return StreamOn(handle, _O_WRONLY, "wb");
}

std::FILE* OpenExisting(const char* name) {
    // Opens a link itself, not what it leads to: it is then not the temporary that was made.
    const HANDLE handle =
        CreateFileW(Wide(name).c_str(), FILE_APPEND_DATA, SHARE_ALL, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return StreamOn(handle, _O_WRONLY | _O_APPEND, "ab");
}

int KeepAside(const char* path, const char* backup) {
    const std::wstring wide = Wide(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? KEPT_NOTHING
                                                                              : KEPT_NONE;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return KEPT_NONE;
    // Moved aside, not linked: a file held open without delete sharing can't be moved, and is
    // then left as it is.
    return MoveFileExW(wide.c_str(), Wide(backup).c_str(), 0) ? KEPT_MOVED : KEPT_NONE;
}

void KeepMode(const char*, const char*) {
    // Windows files have no permission bits; their access lists come from the folder.
}

intptr_t Pin(const char* name) {
    const HANDLE handle = CreateFileW(Wide(name).c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return handle == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(handle);
}

void Unpin(intptr_t pin) {
    if (pin != -1) CloseHandle(reinterpret_cast<HANDLE>(pin));
}

intptr_t LockPair(const char* left) {
    // A mutex named after the left output's full path, so runs writing one pair take turns;
    // the system releases it when its holder ends.
    wchar_t full[MAX_PATH * 4];
    const DWORD n = GetFullPathNameW(Wide(left).c_str(), MAX_PATH * 4, full, nullptr);
    if (n == 0 || n >= MAX_PATH * 4) return -1;
    uint64_t hash = 1469598103934665603u;
    for (DWORD k = 0; k < n; ++k) {
        hash = (hash ^ static_cast<uint64_t>(towlower(full[k]))) * 1099511628211u;
    }
    wchar_t name[64];
    swprintf(name, 64, L"Local\\quenlor2-%016llx", static_cast<unsigned long long>(hash));
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (mutex == nullptr) return -1;
    const DWORD waited = WaitForSingleObject(mutex, LOCK_WAIT_MS);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return -1;
    }
    return reinterpret_cast<intptr_t>(mutex);
}

void UnlockPair(intptr_t lock) {
    if (lock == -1) return;
    const HANDLE mutex = reinterpret_cast<HANDLE>(lock);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

bool RenameOver(const char* from, const char* to) {
    return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void RemoveFile(const char* name) {
    DeleteFileW(Wide(name).c_str());
}

bool FileIdentity(std::FILE* file, uint64_t* id) {
    return IdentityFromHandle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), id);
}

bool PathIdentity(const char* path, uint64_t* id) {
    return IdentityOfPath(path, true, id);
}

bool RegularFileIdentity(const char* path, uint64_t* id) {
    return IdentityOfPath(path, false, id);
}

bool IsFolder(const char* path) {
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool SeekTo(std::FILE* file, uint64_t pos) {
    return _fseeki64(file, static_cast<__int64>(pos), SEEK_SET) == 0;
}

std::FILE* OpenForReading(const char* path) {
    return _wfopen(Wide(path).c_str(), L"rb");
}

void PrepareProcess(int* argc, char*** argv) {
    for (int fd = 0; fd <= 2; ++fd) {
        if (_get_osfhandle(fd) == -1) _open("NUL", _O_RDWR);
    }
    SetConsoleCtrlHandler(OnInterrupt, TRUE);
    SetConsoleCP(CP_UTF8);
    SetConsoleOutputCP(CP_UTF8);
    // The arguments as typed, whatever the code page: wide from the system, then UTF-8.
    static std::string utf8[64];
    static char* pointers[65];
    int n = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (wide == nullptr) return;
    for (int k = 0; k < n && k < 64; ++k) {
        utf8[k] = Utf8(wide[k]);
        pointers[k] = &utf8[k][0];
    }
    LocalFree(wide);
    *argc = n < 64 ? n : 64;
    pointers[*argc] = nullptr;
    *argv = pointers;
}

size_t NameStart(const std::string& path) {
    const size_t separator = path.find_last_of("/\\:");
    return separator == std::string::npos ? 0 : separator + 1;
}
