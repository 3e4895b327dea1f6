// What differs between systems: POSIX calls, or their Windows counterparts with UTF-8 names
// turned into the wide names Windows takes.
#include "system.h"

#include <cerrno>
#include <csignal>
#include <ctime>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The temporaries not yet put in place: names kept here, so that an interrupt handler can read
// them while nothing changes them.
constexpr int MAX_TEMPORARIES = 2;
std::string temporary_names[MAX_TEMPORARIES];
const char* volatile temporaries[MAX_TEMPORARIES];

// The first slot free for a temporary; MAX_TEMPORARIES when there is none.
int FreeSlot() {
    int slot = 0;
    while (slot < MAX_TEMPORARIES && temporaries[slot] != nullptr) ++slot;
    return slot;
}

// A name for a new file beside path, different from one attempt to the next.
std::string TemporaryName(const char* path, unsigned seed) {
    static unsigned counter = 0;
    const unsigned mix =
        seed * 2654435761u ^ static_cast<unsigned>(std::clock()) ^ (++counter * 40503u);
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".part-%06x", mix & 0xFFFFFFu);
    return std::string(path) + suffix;
}

#ifdef _WIN32

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

bool IdentityFromHandle(HANDLE handle, uint64_t* id) {
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return false;
    id[ID_DEVICE] = info.dwVolumeSerialNumber;
    id[ID_FILE] = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    id[ID_SIZE] = uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    id[ID_TIME] =
        uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32 | info.ftLastWriteTime.dwLowDateTime;
    return true;
}

unsigned ProcessId() {
    return static_cast<unsigned>(GetCurrentProcessId());
}

// Console interrupts come on a thread of their own: there is nothing to hold.
void HoldInterrupts(bool) {}

// Creates name, which must not exist yet, for writing in binary mode; nullptr and errno set
// on failure.
std::FILE* CreateNew(const char* name) {
    const int fd = _wopen(Wide(name).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                          _S_IREAD | _S_IWRITE);
    std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (fd >= 0 && file == nullptr) _close(fd);
    return file;
}

bool RenameOver(const char* from, const char* to) {
    return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void RemoveFile(const char* name) {
    DeleteFileW(Wide(name).c_str());
}

BOOL WINAPI OnInterrupt(DWORD) {
    RemoveTemporaries();
    return FALSE;  // the default handler then ends the process
}

#else

void IdentityFromStat(const struct stat& st, uint64_t* id) {
    id[ID_DEVICE] = static_cast<uint64_t>(st.st_dev);
    id[ID_FILE] = static_cast<uint64_t>(st.st_ino);
    id[ID_SIZE] = static_cast<uint64_t>(st.st_size);
    id[ID_TIME] = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                  static_cast<uint64_t>(st.st_mtim.tv_nsec);
}

unsigned ProcessId() {
    return static_cast<unsigned>(getpid());
}

// Blocks or unblocks the interrupt signals, so a temporary is never created unnoted.
void HoldInterrupts(bool hold) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
    sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

// Creates name, which must not exist yet, with the permissions a new file gets, for writing;
// nullptr and errno set on failure.
std::FILE* CreateNew(const char* name) {
    const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    std::FILE* file = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (fd >= 0 && file == nullptr) close(fd);
    return file;
}

bool RenameOver(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}

void RemoveFile(const char* name) {
    unlink(name);
}

void OnInterrupt(int sig) {
    RemoveTemporaries();
    std::signal(sig, SIG_DFL);
    std::raise(sig);  // delivered as soon as the handler returns: the process ends by sig
}

#endif

}  // namespace

#ifdef _WIN32

bool FileIdentity(std::FILE* file, uint64_t* id) {
    return IdentityFromHandle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), id);
}

bool PathIdentity(const char* path, uint64_t* id) {
    const HANDLE handle =
        CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool known = IdentityFromHandle(handle, id);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return known;
}

bool RegularFileIdentity(const char* path, uint64_t* id) {
    struct _stat64 st {};
    return _wstat64(Wide(path).c_str(), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG &&
           PathIdentity(path, id);
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

std::FILE* OpenForAppending(const char* path) {
    return _wfopen(Wide(path).c_str(), L"ab");
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

#else

bool FileIdentity(std::FILE* file, uint64_t* id) {
    struct stat st {};
    if (fstat(fileno(file), &st) != 0) return false;
    IdentityFromStat(st, id);
    return true;
}

bool PathIdentity(const char* path, uint64_t* id) {
    struct stat st {};
    if (stat(path, &st) != 0) return false;
    IdentityFromStat(st, id);
    return true;
}

bool RegularFileIdentity(const char* path, uint64_t* id) {
    struct stat st {};
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    IdentityFromStat(st, id);
    return true;
}

bool IsFolder(const char* path) {
    struct stat st {};
    return lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool SeekTo(std::FILE* file, uint64_t pos) {
    return fseeko(file, static_cast<off_t>(pos), SEEK_SET) == 0;
}

std::FILE* OpenForReading(const char* path) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    std::FILE* file = fd < 0 ? nullptr : fdopen(fd, "rb");
    if (fd >= 0 && file == nullptr) close(fd);
    return file;
}

std::FILE* OpenForAppending(const char* path) {
    return std::fopen(path, "ab");
}

void PrepareProcess(int*, char***) {
    // A file opened on a closed standard descriptor would take in what is meant for the console.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) open("/dev/null", O_RDWR);
    }
    // Past a file size limit, a write then fails and is reported instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    // An interrupt that the caller has the process ignore (nohup, say) stays ignored.
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        sigaction(sig, nullptr, &old);
        if (old.sa_handler != SIG_IGN) std::signal(sig, OnInterrupt);
    }
}

size_t NameStart(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

#endif

std::FILE* CreateTemporary(const char* path, std::string* temp) {
    const int slot = FreeSlot();
    if (slot == MAX_TEMPORARIES) return nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary_names[slot] = TemporaryName(path, ProcessId());
        HoldInterrupts(true);
        std::FILE* file = CreateNew(temporary_names[slot].c_str());
        if (file != nullptr) temporaries[slot] = temporary_names[slot].c_str();
        HoldInterrupts(false);
        if (file != nullptr) {
            *temp = temporary_names[slot];
            return file;
        }
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

bool ReplaceWithTemporary(const char* temp, const char* path) {
    if (!RenameOver(temp, path)) return false;
    for (auto& t : temporaries) {
        if (t != nullptr && std::string(t) == temp) t = nullptr;
    }
    return true;
}

void RemoveTemporaries() {
    for (auto& t : temporaries) {
        if (t != nullptr) RemoveFile(t);
        t = nullptr;
    }
}
