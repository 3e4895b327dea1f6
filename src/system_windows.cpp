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

#include "system.h"
#include "system_private.h"

namespace {

// Held by the main thread while it creates or renames a temporary (where POSIX blocks signals),
// and taken for good by the console handler, so that neither sees the other's work half done.
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
bool IdentityFromHandle(HANDLE handle, FileId* id, DWORD* attributes = nullptr) {
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return false;
    if (attributes != nullptr) *attributes = info.dwFileAttributes;
    id->device = info.dwVolumeSerialNumber;
    id->inode = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    id->size = uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    id->mtime =
        uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32 | info.ftLastWriteTime.dwLowDateTime;
    return true;
}

// Fills id from the file path leads to (links followed unless flags has
// FILE_FLAG_OPEN_REPARSE_POINT) when it is a file on a disk (a folder too when folders are
// wanted); false otherwise. Opened for its attributes only, so nothing of it is read, and type
// and identity come from that one handle.
bool IdentityOfPath(const char* path, bool folders, DWORD flags, FileId* id,
                    bool* missing = nullptr) {
    const HANDLE handle = CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (missing != nullptr) {
            *missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        }
        return false;
    }
    DWORD attributes = 0;
    const bool known = GetFileType(handle) == FILE_TYPE_DISK &&
                       IdentityFromHandle(handle, id, &attributes) &&
                       (folders || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0);
    CloseHandle(handle);
    if (missing != nullptr) *missing = false;
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
    DiscardTemporaries();
    // Ends as Ctrl-C ends a console program, without waiting for the main thread's streams.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    return TRUE;
}

}  // namespace

unsigned ProcessId() {
    return static_cast<unsigned>(GetCurrentProcessId());
}

void BlockSignals() {
    AcquireSRWLockExclusive(&temporaries_lock);
}

void RestoreSignals() {
    ReleaseSRWLockExclusive(&temporaries_lock);
}

void Pause(int ms) {
    Sleep(static_cast<DWORD>(ms));
}

intptr_t CreateNew(const char* name, bool* taken) {
    // Delete sharing lets the temporary be renamed, or removed by the console handler, while
    // the program holds it open.
    const HANDLE handle = CreateFileW(Wide(name).c_str(), GENERIC_WRITE, SHARE_ALL, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = GetLastError();
    *taken = handle == INVALID_HANDLE_VALUE &&
             (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS);
    return handle == INVALID_HANDLE_VALUE ? NO_DESCRIPTOR : reinterpret_cast<intptr_t>(handle);
}

bool DescriptorIdentity(intptr_t fd, FileId* id) {
    return IdentityFromHandle(reinterpret_cast<HANDLE>(fd), id);
}

bool NameIdentity(const char* name, FileId* id) {
    return IdentityOfPath(name, true, FILE_FLAG_OPEN_REPARSE_POINT, id);
}

bool OpenIdentity(const char* name, FileId* id) {
    return NameIdentity(name, id);  // which opens the file already
}

std::FILE* StreamOnDuplicate(intptr_t fd, bool append) {
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(fd), GetCurrentProcess(),
                         &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return append ? StreamOn(copy, _O_WRONLY | _O_APPEND, "ab") : StreamOn(copy, _O_WRONLY, "wb");
}

void CloseDescriptor(intptr_t fd) {
    if (fd != NO_DESCRIPTOR) CloseHandle(reinterpret_cast<HANDLE>(fd));
}

bool SyncFile(intptr_t fd) {
    return FlushFileBuffers(reinterpret_cast<HANDLE>(fd)) != 0;
}

bool SyncFolder(const char*) {
    return true;  // each rename was written through to disk before it returned
}

void StartWriteBack(std::FILE*, uint64_t, uint64_t) {
    // No call starts the write without waiting; the flush before the rename does it all.
}

void FinishWriteBack(std::FILE*, uint64_t, uint64_t) {}

bool Allocate(intptr_t, uint64_t) {
    return true;  // the writes find a full disk
}

bool RemoveName(const char* name) {
    return DeleteFileW(Wide(name).c_str()) != 0 || GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool CopyMode(const char*, intptr_t) {
    return true;  // Windows files have no permission bits; their access lists come from the folder
}

Entry EntryAt(const char* name) {
    const DWORD attributes = GetFileAttributesW(Wide(name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Entry::MISSING
                                                                              : Entry::UNKNOWN;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Entry::FOLDER : Entry::OTHER;
}

Naming RenameNoReplace(const char* from, const char* to) {
    if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
        return Naming::DONE;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return Naming::TAKEN;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Naming::NO_SOURCE;
    return Naming::FAILED;
}

bool RenameOver(const char* from, const char* to) {
    return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool StreamIdentity(std::FILE* file, FileId* id) {
    return DescriptorIdentity(_get_osfhandle(_fileno(file)), id);
}

bool PathIdentity(const char* path, FileId* id, bool* missing) {
    return IdentityOfPath(path, true, 0, id, missing);
}

bool RegularFileIdentity(const char* path, FileId* id) {
    return IdentityOfPath(path, false, 0, id);
}

bool IsFolder(const char* path) {
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool NameFits(const char* path) {
    const std::string p(path);
    return Wide(p.substr(NameStart(p)).c_str()).size() <= 255;
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
