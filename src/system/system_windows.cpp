// The system layer on Windows: UTF-8 names become the wide names Windows takes, and console
// interrupts, which come on a thread of their own, are ordered against the main thread by a lock.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0602  // FILE_ID_INFO; every call made is in Windows Vista
#endif
#include <fcntl.h>
#include <io.h>
// clang-format off
#include <windows.h>
#include <aclapi.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "system.h"
#include "system_private.h"

namespace {

// Held by the main thread while it creates or renames a temporary (where POSIX blocks signals),
// and taken for good by the console handler, so that neither sees the other's work half done.
SRWLOCK temporaries_lock = SRWLOCK_INIT;
// Set by the console handler before it waits for that lock: a Ctrl-C the main thread is to
// honour before it puts the new pair in place.
std::atomic<bool> interrupted{false};
// The console's code pages as the program found them; 0 when it has no console.
UINT input_code_page = 0, output_code_page = 0;

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

// The wide name of path for the file calls. Past MAX_PATH characters, its full form after
// "\\?\" (a share's after "\\?\UNC\"), which Windows takes up to 32,767 characters; shorter
// paths stay as they are, so that Windows reads them as it reads any program's.
std::wstring WidePath(const char* path) {
    const std::wstring wide = Wide(path);
    const DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    // 12: room for a short name in a folder at the limit.
    if (n < MAX_PATH - 12 || wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\\\.\\", 0) == 0) {
        return wide;
    }
    std::wstring full(n, L'\0');
    full.resize(GetFullPathNameW(wide.c_str(), n, &full[0], nullptr));
    return full.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC" + full.substr(1) : L"\\\\?\\" + full;
}

// Whether a call failed because another program has the file open without sharing it, or
// for a moment (a file being deleted is refused as access denied).
bool Busy(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED;
}

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Fills id, and attributes when asked, from the open handle; false when the system can't tell.
// The 128-bit file number where the volume has one (ReFS does not keep the 64-bit one unique).
bool IdentityFromHandle(HANDLE handle, FileId* id, DWORD* attributes = nullptr) {
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return false;
    if (attributes != nullptr) *attributes = info.dwFileAttributes;
    FILE_ID_INFO ids;
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &ids, sizeof ids)) {
        id->device = ids.VolumeSerialNumber;
        std::memcpy(&id->inode, ids.FileId.Identifier, 8);
        std::memcpy(&id->inode_high, ids.FileId.Identifier + 8, 8);
    } else {
        id->device = info.dwVolumeSerialNumber;
        id->inode = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
        id->inode_high = 0;
    }
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
    const HANDLE handle =
        CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
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

void RestoreCodePages() {
    if (input_code_page != 0) SetConsoleCP(input_code_page);
    if (output_code_page != 0) SetConsoleOutputCP(output_code_page);
}

BOOL WINAPI OnInterrupt(DWORD) {
    interrupted.store(true);
    EraseProgress();
    AcquireSRWLockExclusive(&temporaries_lock);  // never released: the process ends here
    DiscardTemporaries();
    RestoreCodePages();
    // Ends as Ctrl-C ends a console program, without waiting for the main thread's streams.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    return TRUE;
}

// Whether the console is the program's own, shown to the user and closed with the program:
// started from Explorer or by a file dropped on it, not from a command prompt or a script.
bool OwnConsole() {
    DWORD processes[2], mode = 0;
    return GetConsoleProcessList(processes, 2) == 1 &&
           GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) &&
           GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode);
}

// On every exit but Ctrl-C: a console of the program's own stays until the user has read the
// last message; the console's code pages are given back.
void OnExit() {
    if (OwnConsole()) {
        std::fputs("Press Enter to close this window.", stdout);
        std::fflush(stdout);
        const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        FlushConsoleInputBuffer(in);  // what was typed ahead is not the answer
        wchar_t typed[64];
        DWORD n = 0;
        while (ReadConsoleW(in, typed, 64, &n, nullptr) && n > 0 &&
               std::wmemchr(typed, L'\n', n) == nullptr &&
               std::wmemchr(typed, L'\r', n) == nullptr) {
        }
    }
    RestoreCodePages();
}

// Whether the access list at output was set on it, rather than only inherited from its folder
// (as the new file's is).
bool OwnAccessList(PACL dacl, SECURITY_DESCRIPTOR_CONTROL control) {
    if ((control & SE_DACL_PROTECTED) != 0) return true;
    for (DWORD k = 0; dacl != nullptr && k < dacl->AceCount; ++k) {
        void* ace = nullptr;
        if (GetAce(dacl, k, &ace) &&
            (static_cast<ACE_HEADER*>(ace)->AceFlags & INHERITED_ACE) == 0) {
            return true;
        }
    }
    return false;
}

// Gives the file of handle (opened with WRITE_DAC) the access list set on the file at output;
// true when there is none.
bool CopyAccessList(const std::wstring& output, HANDLE handle) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(output.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS) {
        return true;  // a file system without access lists (FAT)
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    bool copied = true;
    if (dacl != nullptr && GetSecurityDescriptorControl(sd, &control, &revision) &&
        OwnAccessList(dacl, control)) {
        const SECURITY_INFORMATION what =
            DACL_SECURITY_INFORMATION |
            ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                : UNPROTECTED_DACL_SECURITY_INFORMATION);
        copied = SetSecurityInfo(handle, SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr) ==
                 ERROR_SUCCESS;
    }
    LocalFree(sd);
    return copied;
}

}  // namespace

namespace {

// A FILETIME's 100 ns units since 1601.
uint64_t Ticks(const FILETIME& time) {
    return uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime;
}

}  // namespace

void ThisProcess(Holder* me) {
    wchar_t host[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    GetComputerNameW(host, &size);
    me->host = Utf8(host);
    // A process's creation time tells it from any other of its number, across restarts too.
    me->machine.clear();
    me->boot.clear();
    me->pid = GetCurrentProcessId();
    FILETIME created, ended, kernel, user;
    me->start =
        GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user) ? Ticks(created) : 0;
}

uint64_t ThisUser() {
    return 0;  // files have no owner to compare with: their access lists decide
}

std::string UserName(uint64_t) {
    return "";
}

bool StartOf(uint64_t pid, uint64_t* start) {
    if (pid > 0xFFFFFFFFu) return false;
    const HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        // Another user's process, which this one may not look into, still runs.
        *start = UNKNOWN_START;
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    FILETIME created, ended, kernel, user;
    DWORD code = 0;
    const bool runs = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE &&
                      GetProcessTimes(process, &created, &ended, &kernel, &user);
    if (runs) *start = Ticks(created);
    CloseHandle(process);
    return runs;
}

void BlockSignals() {
    AcquireSRWLockExclusive(&temporaries_lock);
}

void RestoreSignals() {
    ReleaseSRWLockExclusive(&temporaries_lock);
    // As a signal unblocked on POSIX is delivered: the handler, waiting for the lock, ends the
    // process.
    if (interrupted.load()) Sleep(INFINITE);
}

bool Interrupted() {
    return interrupted.load();
}

void WriteError(const char* bytes, size_t n) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes, static_cast<DWORD>(n), &written, nullptr);
}

bool ErrorIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void Pause(int ms) {
    Sleep(static_cast<DWORD>(ms));
}

intptr_t CreateNew(const char* name, bool* taken) {
    // Delete sharing lets the temporary be renamed, or removed by the console handler, while
    // the program holds it open.
    // The right to set its access list too (the owner has it), so that a replaced output's
    // can be given to it; asked for alone where it is refused.
    const std::wstring wide = WidePath(name);
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE | WRITE_DAC, SHARE_ALL, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        handle = CreateFileW(wide.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    const DWORD error = GetLastError();
    *taken = handle == INVALID_HANDLE_VALUE &&
             (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS);
    return handle == INVALID_HANDLE_VALUE ? NO_DESCRIPTOR : reinterpret_cast<intptr_t>(handle);
}

intptr_t OpenToAppend(const char* name) {
    const HANDLE handle = CreateFileW(WidePath(name).c_str(), GENERIC_WRITE, SHARE_ALL, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
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

bool WriteAll(intptr_t fd, const std::string& bytes) {
    const HANDLE handle = reinterpret_cast<HANDLE>(fd);
    LARGE_INTEGER end{};
    if (!SetFilePointerEx(handle, end, nullptr, FILE_END)) return false;
    for (size_t done = 0; done < bytes.size();) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
        if (!WriteFile(handle, bytes.data() + done, want, &n, nullptr) || n == 0) return false;
        done += n;
    }
    return true;
}

bool ReadableByAll(intptr_t) {
    return true;  // a new file takes its folder's access list: whoever may write there may read it
}

intptr_t OpenToRead(const char* name, size_t most, std::string* bytes, FileId* id) {
    const HANDLE handle = CreateFileW(WidePath(name).c_str(), GENERIC_READ, SHARE_ALL, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return NO_DESCRIPTOR;
    DWORD attributes = 0;
    bool read_all = GetFileType(handle) == FILE_TYPE_DISK &&
                    IdentityFromHandle(handle, id, &attributes) &&
                    (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    bytes->clear();
    char buffer[4096];
    while (read_all && bytes->size() < most) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min(sizeof buffer, most - bytes->size()));
        read_all = ReadFile(handle, buffer, want, &n, nullptr) != 0;
        if (!read_all || n == 0) break;
        bytes->append(buffer, n);
    }
    if (!read_all) CloseHandle(handle);
    return read_all ? reinterpret_cast<intptr_t>(handle) : NO_DESCRIPTOR;
}

bool ReadRange(intptr_t fd, uint64_t from, size_t n, std::string* bytes) {
    bytes->resize(n);
    size_t done = 0;
    while (done < n) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(from + done);
        at.OffsetHigh = static_cast<DWORD>((from + done) >> 32);
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, 1 << 20));
        if (!ReadFile(reinterpret_cast<HANDLE>(fd), &(*bytes)[done], want, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            return false;
        }
        if (got == 0) break;
        done += got;
    }
    bytes->resize(done);
    return true;
}

// No folder can be made current by its handle: names are found by path, with the folder's.
void EnterFolder(const char* path, intptr_t* saved, std::string* prefix) {
    *saved = NO_DESCRIPTOR;
    *prefix = std::string(path, NameStart(path));
}

void LeaveFolder(intptr_t) {}

intptr_t OpenFolder(const char*) {
    return NO_DESCRIPTOR;  // a folder takes no byte-range lock
}

KernelLock LockFile(intptr_t fd, bool wait) {
    // One byte far past any lock's end: a byte-range lock keeps others from reading what it
    // covers, and every run reads the lock.
    OVERLAPPED at{};
    at.Offset = 0;
    at.OffsetHigh = 0x7FFFFFFF;
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (LockFileEx(reinterpret_cast<HANDLE>(fd), flags, 0, 1, 0, &at)) return KernelLock::TAKEN;
    const DWORD error = GetLastError();
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? KernelLock::REFUSED
                                                                      : KernelLock::NONE;
}

void ListFolder(const char* path, const char* prefix, std::vector<std::string>* names) {
    names->clear();
    const std::string p(path);
    const std::string pattern = p.substr(0, NameStart(p)) + prefix + "*";
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(WidePath(pattern.c_str()).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = Utf8(found.cFileName);
        if (name.rfind(prefix, 0) == 0) names->push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

void CloseDescriptor(intptr_t fd) {
    if (fd != NO_DESCRIPTOR) CloseHandle(reinterpret_cast<HANDLE>(fd));
}

bool SyncFile(intptr_t fd) {
    return FlushFileBuffers(reinterpret_cast<HANDLE>(fd)) != 0;
}

bool SyncRenamed(const char*, const intptr_t* fds, size_t count) {
    // A file's flush writes NTFS's log up to its last change, its rename among them.
    for (size_t k = 0; k < count; ++k) {
        const intptr_t fd = fds[k];
        if (fd == NO_DESCRIPTOR || FlushFileBuffers(reinterpret_cast<HANDLE>(fd))) continue;
        // A share or a file system that can't flush says so.
        const DWORD error = GetLastError();
        if (error != ERROR_INVALID_FUNCTION && error != ERROR_NOT_SUPPORTED) return false;
    }
    return true;
}

// No call flushes without waiting, nor writes a range: the flush before the rename does it all.
bool StartFlush(std::FILE*) {
    return false;
}

Flush FlushProgress(bool) {
    return Flush::OVER;
}

bool WriteBack(std::FILE*, uint64_t, uint64_t) {
    return true;
}

void StartWriteBack(std::FILE*, uint64_t, uint64_t) {}

void DropCached(std::FILE*, uint64_t, uint64_t) {}

bool Allocate(intptr_t, uint64_t) {
    return true;  // the writes find a full disk
}

bool RemoveName(const char* name) {
    const std::wstring wide = WidePath(name);
    if (DeleteFileW(wide.c_str())) return true;
    DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED) return error == ERROR_FILE_NOT_FOUND;
    // A read-only file (an output kept read-only, moved aside) is deleted once it is not.
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        SetFileAttributesW(wide.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
        if (DeleteFileW(wide.c_str())) return true;
        error = GetLastError();
        SetFileAttributesW(wide.c_str(), attributes);
    }
    return error == ERROR_FILE_NOT_FOUND;
}

bool CopyMode(const char* output, intptr_t fd) {
    const std::wstring name = WidePath(output);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;  // a new output
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(fd);
    // The attributes a user sets; the archive bit always, as for any file just written. Times
    // of 0 are left as they are.
    FILE_BASIC_INFO basic{};
    basic.FileAttributes =
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED)) |
        FILE_ATTRIBUTE_ARCHIVE;
    return CopyAccessList(name, handle) &&
           SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
}

Entry EntryAt(const char* name) {
    const DWORD attributes = GetFileAttributesW(WidePath(name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Entry::MISSING
                                                                              : Entry::UNKNOWN;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Entry::FOLDER : Entry::OTHER;
}

// What MoveFileExW(from, to, flags) did.
Naming Move(const char* from, const char* to, DWORD flags) {
    if (MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), flags)) return Naming::DONE;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return Naming::TAKEN;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Naming::NO_SOURCE;
    return Busy(error) ? Naming::BUSY : Naming::FAILED;
}

Naming LinkName(const char* from, const char* to) {
    if (CreateHardLinkW(WidePath(to).c_str(), WidePath(from).c_str(), nullptr)) return Naming::DONE;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return Naming::TAKEN;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Naming::NO_SOURCE;
    // FAT and exFAT, and shares whose server has no links.
    return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
                   error == ERROR_TOO_MANY_LINKS
               ? Naming::NO_LINKS
               : Naming::FAILED;
}

Naming RenameNoReplace(const char* from, const char* to) {
    return Move(from, to, MOVEFILE_WRITE_THROUGH);
}

Naming RenameOver(const char* from, const char* to) {
    return Move(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
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
    const DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
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
    // Refused for a moment (a recorder or an editor still closing it) is tried again, as
    // renames are.
    const std::wstring name = WidePath(path);
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int waited = 0, step = 10;; waited += step, step *= 2) {
        handle = CreateFileW(name.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (handle != INVALID_HANDLE_VALUE || !Busy(GetLastError()) || waited >= BUSY_WAIT_MS) {
            break;
        }
        Pause(step);
    }
    return StreamOn(handle, _O_RDONLY, "rb");
}

void PrepareProcess(int* argc, char*** argv) {
    for (int fd = 0; fd <= 2; ++fd) {
        if (_get_osfhandle(fd) != -1) continue;
        _open("NUL", _O_RDWR);
        if (fd == 1) NoteOutputClosed();
    }
    std::atexit(EraseProgress);
    SetConsoleCtrlHandler(OnInterrupt, TRUE);
    // UTF-8 in and out while the program runs; the code pages found are given back at exit.
    input_code_page = GetConsoleCP();
    output_code_page = GetConsoleOutputCP();
    std::atexit(OnExit);
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
