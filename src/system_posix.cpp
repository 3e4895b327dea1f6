// The system layer on Linux and other POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "system.h"
#include "system_private.h"

namespace {

void IdentityFromStat(const struct stat& st, uint64_t* id) {
    id[ID_DEVICE] = static_cast<uint64_t>(st.st_dev);
    id[ID_FILE] = static_cast<uint64_t>(st.st_ino);
    id[ID_SIZE] = static_cast<uint64_t>(st.st_size);
    id[ID_TIME] = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                  static_cast<uint64_t>(st.st_mtim.tv_nsec);
}

// The signals that remove the temporaries before they end the process.
constexpr int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP};

void OnInterrupt(int sig) {
    RemoveTemporaries();
    std::signal(sig, SIG_DFL);
    std::raise(sig);  // delivered as soon as the handler returns: the process ends by sig
}

}  // namespace

unsigned ProcessId() {
    return static_cast<unsigned>(getpid());
}

void HoldInterrupts(bool hold) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : INTERRUPTS) sigaddset(&set, sig);
    sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

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
    for (int sig : INTERRUPTS) {
        struct sigaction old {};
        sigaction(sig, nullptr, &old);
        if (old.sa_handler != SIG_IGN) std::signal(sig, OnInterrupt);
    }
}

size_t NameStart(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}
