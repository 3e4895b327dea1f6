// The POSIX side of what differs between systems.
#include "system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

namespace {

void IdentityFromStat(const struct stat& st, uint64_t* id) {
    id[ID_DEVICE] = static_cast<uint64_t>(st.st_dev);
    id[ID_FILE] = static_cast<uint64_t>(st.st_ino);
    id[ID_SIZE] = static_cast<uint64_t>(st.st_size);
    id[ID_TIME] = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                  static_cast<uint64_t>(st.st_mtim.tv_nsec);
}

// The temporaries not yet put in place: names kept here, so that a signal handler can read
// them while nothing changes them.
constexpr int MAX_TEMPORARIES = 2;
std::string temporary_names[MAX_TEMPORARIES];
const char* volatile temporaries[MAX_TEMPORARIES];

// Blocks or unblocks the interrupt signals, so a temporary is never created unnoted.
void HoldInterrupts(int how) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
    sigprocmask(how, &set, nullptr);
}

void OnInterrupt(int sig) {
    RemoveTemporaries();
    std::signal(sig, SIG_DFL);
    std::raise(sig);  // delivered as soon as the handler returns: the process ends by sig
}

}  // namespace

bool FileIdentity(int fd, uint64_t* id) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    IdentityFromStat(st, id);
    return true;
}

bool PathIdentity(const char* path, uint64_t* id) {
    struct stat st {};
    if (stat(path, &st) != 0) return false;
    IdentityFromStat(st, id);
    return true;
}

bool IsRegularFile(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool IsFolder(const char* path) {
    struct stat st {};
    return lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool SeekTo(std::FILE* file, uint64_t pos) {
    return fseeko(file, static_cast<off_t>(pos), SEEK_SET) == 0;
}

int OpenForReading(const char* path) {
    return open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

std::FILE* CreateTemporary(const char* path, std::string* temp) {
    int slot = 0;
    while (slot < MAX_TEMPORARIES && temporaries[slot] != nullptr) ++slot;
    if (slot == MAX_TEMPORARIES) return nullptr;
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        const auto mix = static_cast<unsigned>(getpid()) * 2654435761u ^
                         static_cast<unsigned>(std::clock()) ^ (++counter * 40503u);
        std::snprintf(suffix, sizeof suffix, ".part-%06x", mix & 0xFFFFFFu);
        temporary_names[slot] = std::string(path) + suffix;
        HoldInterrupts(SIG_BLOCK);
        const int fd =
            open(temporary_names[slot].c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) temporaries[slot] = temporary_names[slot].c_str();
        HoldInterrupts(SIG_UNBLOCK);
        if (fd >= 0) {
            *temp = temporary_names[slot];
            std::FILE* file = fdopen(fd, "wb");
            if (file == nullptr) close(fd);
            return file;
        }
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

bool ReplaceWithTemporary(const char* temp, const char* path) {
    if (std::rename(temp, path) != 0) return false;
    for (auto& t : temporaries) {
        if (t != nullptr && std::string(t) == temp) t = nullptr;
    }
    return true;
}

void RemoveTemporaries() {
    for (auto& t : temporaries) {
        if (t != nullptr) unlink(t);
        t = nullptr;
    }
}

void PrepareProcess() {
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
