// The system layer on Linux and other POSIX systems.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
    id[ID_CHANGE] = static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000000u +
                    static_cast<uint64_t>(st.st_ctim.tv_nsec);
}

// The signals that end a process and that careful tools clean up after: they remove the
// temporaries before they end it.
constexpr int INTERRUPTS[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGPIPE, SIGTERM, SIGALRM,
                              SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGUSR1, SIGUSR2};

// The set of all of them.
sigset_t Interrupts() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : INTERRUPTS) sigaddset(&set, sig);
    return set;
}

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
    const sigset_t set = Interrupts();
    sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

std::FILE* CreateNew(const char* name) {
    const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    std::FILE* file = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (fd >= 0 && file == nullptr) close(fd);
    return file;
}

std::FILE* OpenExisting(const char* name) {
    const int fd = open(name, O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    std::FILE* file = fd < 0 ? nullptr : fdopen(fd, "ab");
    if (fd >= 0 && file == nullptr) close(fd);
    return file;
}

int KeepAside(const char* path, const char* backup) {
    if (link(path, backup) == 0) return KEPT_LINKED;
    if (errno == ENOENT) return KEPT_NOTHING;
    // File systems without hard links (FAT, exFAT, some shares) refuse so: the file is moved
    // aside instead, and put back on failure.
    if (errno != EPERM && errno != EINVAL && errno != ENOTSUP && errno != EOPNOTSUPP &&
        errno != EMLINK && errno != ENOSYS) {
        return KEPT_NONE;
    }
    struct stat st {};
    if (lstat(path, &st) != 0) return errno == ENOENT ? KEPT_NOTHING : KEPT_NONE;
    if (S_ISDIR(st.st_mode)) return KEPT_NONE;
    return std::rename(path, backup) == 0 ? KEPT_MOVED : KEPT_NONE;
}

void KeepMode(const char* output, const char* temp) {
    struct stat st {};
    if (lstat(output, &st) != 0 || !S_ISREG(st.st_mode)) return;
    const int fd = open(temp, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    fchmod(fd, st.st_mode & 0777);
    close(fd);
}

intptr_t Pin(const char* name) {
    return open(name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

void Unpin(intptr_t pin) {
    if (pin >= 0) close(static_cast<int>(pin));
}

intptr_t LockPair(const char* left) {
    const std::string path(left);
    const size_t start = NameStart(path);
    const std::string folder = start == 0 ? "." : path.substr(0, start);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    // flock waits without a limit, so the turn is asked for every 5 ms.
    for (int waited = 0; waited < LOCK_WAIT_MS; waited += 5) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
        if (errno != EWOULDBLOCK) break;
        usleep(5000);
    }
    close(fd);
    return -1;
}

void UnlockPair(intptr_t lock) {
    if (lock >= 0) close(static_cast<int>(lock));
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

void PrepareProcess(int*, char***) {
    // A file opened on a closed standard descriptor would take in what is meant for the console.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) open("/dev/null", O_RDWR);
    }
    // Past a file size limit, a write then fails and is reported instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    // An interrupt that the caller has the process ignore (nohup, say) stays ignored. While
    // one is handled, the others wait.
    for (int sig : INTERRUPTS) {
        struct sigaction old {
        }, handled{};
        sigaction(sig, nullptr, &old);
        if (old.sa_handler == SIG_IGN) continue;
        handled.sa_handler = OnInterrupt;
        handled.sa_mask = Interrupts();
        sigaction(sig, &handled, nullptr);
    }
}

size_t NameStart(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}
