// The system layer on Linux and other POSIX systems, macOS among them. Where macOS differs:
//   - "On disk" is fcntl(F_FULLFSYNC), for files and folders alike: fsync there only hands the
//     data to the drive, whose cache a power cut empties (fsync where the file system refuses it).
//   - A rename that never replaces is renamex_np(RENAME_EXCL), as renameat2(RENAME_NOREPLACE) is
//     on Linux; where the file system refuses it, the new name is checked free first, as before.
//   - A process's start is sysctl(KERN_PROC_PID)'s p_starttime (microseconds since 1970), the
//     boot's identity kern.bootsessionuuid, the machine's gethostuuid: no /proc there.
//   - The kernel lock is flock, as on Linux; no sync_file_range (an output's writes simply go on
//     until its flush), no fallocate (a full disk shows in the writes), no cache advice.
//   - APFS folds case as NTFS does: the one lock per folder, in lower case, and outputs known by
//     their identity meet it the same way.
//   - A folder is opened to be entered without O_PATH: one the user may not read is acted on by
//     its path.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/aio_abi.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#endif
#if defined(__APPLE__)
#include <sys/sysctl.h>
#include <uuid/uuid.h>

#include <cstdio>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "system.h"
#include "system_private.h"

namespace {

// Fills id from st when the stat call that filled it returned result 0 and, if only regular
// files are wanted, st is one.
bool FromStat(int result, const struct stat& st, bool regular_only, FileId* id) {
    if (result != 0 || (regular_only && !S_ISREG(st.st_mode))) return false;
    id->device = static_cast<uint64_t>(st.st_dev);
    id->inode = static_cast<uint64_t>(st.st_ino);
    id->inode_high = 0;
    id->size = static_cast<uint64_t>(st.st_size);
#if defined(__APPLE__)
    const timespec& mtime = st.st_mtimespec;
#else
    const timespec& mtime = st.st_mtim;
#endif
    id->mtime =
        static_cast<uint64_t>(mtime.tv_sec) * 1000000000u + static_cast<uint64_t>(mtime.tv_nsec);
    id->owner = st.st_uid;
    return true;
}

// A stream on fd; fd is closed when none can be made.
std::FILE* StreamOn(int fd, const char* mode) {
    std::FILE* file = fd < 0 ? nullptr : fdopen(fd, mode);
    if (fd >= 0 && file == nullptr) close(fd);
    return file;
}

// The folder part of path ("." when it has none).
std::string FolderOf(const char* path) {
    const std::string p(path);
    const size_t start = NameStart(p);
    return start == 0 ? "." : p.substr(0, start);
}

// The signals that end a process and that careful tools clean up after: their handler removes
// the temporaries before the process ends.
constexpr int TERMINATING[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGPIPE, SIGTERM, SIGALRM,
                               SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGUSR1, SIGUSR2};

sigset_t Terminating() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : TERMINATING) sigaddset(&set, sig);
    return set;
}

// The mask the process had before BlockSignals.
sigset_t caller_mask;

void OnSignal(int sig) {
    EraseProgress();
    DiscardTemporaries();
    std::signal(sig, SIG_DFL);
    std::raise(sig);  // delivered as soon as the handler returns: the process ends by sig
}

}  // namespace

namespace {

// Reads up to most bytes of fd from where it stands into bytes; false when a read fails.
bool ReadUpTo(int fd, size_t most, std::string* bytes) {
    bytes->clear();
    char buffer[4096];
    while (bytes->size() < most) {
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, most - bytes->size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0;
        bytes->append(buffer, static_cast<size_t>(n));
    }
    return true;
}

// What the system says of a process.
enum class Proc { RUNS, ENDED, UNSEEN };

#if defined(__APPLE__)
// Process pid's start, in microseconds since 1970, from the kernel's process table.
Proc StartFromProc(uint64_t pid, uint64_t* start) {
    int query[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, static_cast<int>(pid)};
    kinfo_proc info{};
    size_t size = sizeof info;
    if (pid > static_cast<uint64_t>(INT_MAX) || sysctl(query, 4, &info, &size, nullptr, 0) != 0) {
        return Proc::UNSEEN;
    }
    if (size == 0 || info.kp_proc.p_stat == SZOMB) return Proc::ENDED;
    const timeval& began = info.kp_proc.p_starttime;
    *start = static_cast<uint64_t>(began.tv_sec) * 1000000u + static_cast<uint64_t>(began.tv_usec);
    return Proc::RUNS;
}

// The machine's hardware identity and this boot's, as text ("" when they can't be read).
std::string MachineId() {
    uuid_t id{};
    const timespec wait{1, 0};
    char text[37] = {};
    if (gethostuuid(id, &wait) == 0) uuid_unparse(id, text);
    return text;
}
std::string BootId() {
    char text[64] = {};
    size_t size = sizeof text - 1;
    return sysctlbyname("kern.bootsessionuuid", text, &size, nullptr, 0) == 0 ? text : "";
}
#else
// Reads up to most bytes of the regular file at name (a link is not followed) into bytes; false
// when there is none, or it can't be opened or read.
bool ReadSmall(const char* name, size_t most, std::string* bytes) {
    FileId id{};
    const intptr_t fd = OpenToRead(name, most, bytes, &id);
    CloseDescriptor(fd);
    return fd != NO_DESCRIPTOR;
}

// The first line of the file at path, or "" when it can't be read.
std::string FirstLine(const char* path) {
    std::string line;
    if (!ReadSmall(path, 256, &line)) return "";
    return line.substr(0, line.find('\n'));
}

// Process pid's start, in clock ticks since the machine started, from /proc: it runs, it has
// ended (no such process, or a zombie), or /proc can't tell (not mounted, or hiding it).
Proc StartFromProc(uint64_t pid, uint64_t* start) {
    std::string stat;
    if (!ReadSmall(("/proc/" + std::to_string(pid) + "/stat").c_str(), 1024, &stat)) {
        return Proc::UNSEEN;
    }
    // After the command's name, which may hold anything, in parentheses: the state, then 18
    // fields to the start time.
    size_t at = stat.rfind(')');
    if (at == std::string::npos || at + 2 >= stat.size()) return Proc::UNSEEN;
    const char state = stat[at + 2];
    if (state == 'Z' || state == 'X') return Proc::ENDED;
    for (int field = 3; field <= 22 && at != std::string::npos; ++field)
        at = stat.find(' ', at + 1);
    if (at == std::string::npos) return Proc::UNSEEN;
    *start = std::strtoull(stat.c_str() + at + 1, nullptr, 10);
    return Proc::RUNS;
}

// What tells this machine (and the process-id namespace this process runs in) and this boot.
std::string MachineId() {
    char ns[64] = {};
    const ssize_t n = readlink("/proc/self/ns/pid", ns, sizeof ns - 1);
    return FirstLine("/etc/machine-id") + " " + (n > 0 ? ns : "");
}
std::string BootId() {
    return FirstLine("/proc/sys/kernel/random/boot_id");
}
#endif

// fsync, or on macOS the flush that reaches the platter (see the head of this file).
bool FullSync(int fd) {
#if defined(F_FULLFSYNC)
    if (fcntl(fd, F_FULLFSYNC) == 0) return true;
#endif
    return fsync(fd) == 0;
}

}  // namespace

void ThisProcess(Holder* me) {
    static Holder cached;
    static pid_t cached_pid = 0;
    if (cached_pid != getpid()) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        cached.host = host;
        cached.machine = MachineId();
        cached.boot = BootId();
        cached.pid = static_cast<uint64_t>(getpid());
        if (StartFromProc(cached.pid, &cached.start) != Proc::RUNS) cached.start = UNKNOWN_START;
        cached_pid = getpid();
    }
    *me = cached;
}

uint64_t ThisUser() {
    return geteuid();
}

std::string UserName(uint64_t user) {
    char buffer[4096];
    passwd entry{}, *found = nullptr;
    if (user > UINT32_MAX ||
        getpwuid_r(static_cast<uid_t>(user), &entry, buffer, sizeof buffer, &found) != 0 ||
        found == nullptr) {
        return "";
    }
    return entry.pw_name;
}

bool StartOf(uint64_t pid, uint64_t* start) {
    const Proc proc = StartFromProc(pid, start);
    if (proc != Proc::UNSEEN) return proc == Proc::RUNS;
    // /proc hides it, or has none: whether a process of that number runs at all.
    *start = UNKNOWN_START;
    return pid > 0 && pid <= static_cast<uint64_t>(INT_MAX) &&
           (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

void BlockSignals() {
    const sigset_t set = Terminating();
    sigprocmask(SIG_BLOCK, &set, &caller_mask);
}

void RestoreSignals() {
    sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
}

bool Interrupted() {
    // Only those the caller had not blocked: the others will not be delivered when restored.
    sigset_t pending;
    sigpending(&pending);
    for (int sig : TERMINATING) {
        if (sigismember(&pending, sig) == 1 && sigismember(&caller_mask, sig) == 0) return true;
    }
    return false;
}

void WriteError(const char* bytes, size_t n) {
    while (n > 0) {
        const ssize_t k = write(2, bytes, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return;
        bytes += k, n -= static_cast<size_t>(k);
    }
}

bool ErrorIsTerminal() {
    return isatty(2) == 1;
}

void Pause(int ms) {
    usleep(static_cast<useconds_t>(ms) * 1000);
}

intptr_t CreateNew(const char* name, bool* taken) {
    const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    *taken = fd < 0 && errno == EEXIST;
    return fd < 0 ? NO_DESCRIPTOR : fd;
}

intptr_t OpenToAppend(const char* name) {
    const int fd = open(name, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    return fd < 0 ? NO_DESCRIPTOR : fd;
}

bool DescriptorIdentity(intptr_t fd, FileId* id) {
    struct stat st {};
    return FromStat(fstat(static_cast<int>(fd), &st), st, false, id);
}

bool NameIdentity(const char* name, FileId* id) {
    struct stat st {};
    return FromStat(lstat(name, &st), st, false, id);
}

bool OpenIdentity(const char* name, FileId* id) {
    const int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    const bool known = FromStat(fstat(fd, &st), st, false, id);
    close(fd);
    return known;
}

std::FILE* StreamOnDuplicate(intptr_t fd, bool append) {
    return StreamOn(fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0), append ? "ab" : "wb");
}

bool WriteAll(intptr_t fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(static_cast<int>(fd), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ReadableByAll(intptr_t fd) {
    return fchmod(static_cast<int>(fd), 0644) == 0;
}

intptr_t OpenToRead(const char* name, size_t most, std::string* bytes, FileId* id) {
    const int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return NO_DESCRIPTOR;
    struct stat st {};
    if (!FromStat(fstat(fd, &st), st, true, id) || !ReadUpTo(fd, most, bytes)) {
        close(fd);
        return NO_DESCRIPTOR;
    }
    return fd;
}

bool ReadRange(intptr_t fd, uint64_t from, size_t n, std::string* bytes) {
    bytes->resize(n);
    size_t done = 0;
    while (done < n) {
        const ssize_t got =
            pread(static_cast<int>(fd), &(*bytes)[done], n - done, static_cast<off_t>(from + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    bytes->resize(done);
    return true;
}

void EnterFolder(const char* path, intptr_t* saved, std::string* prefix) {
#ifdef O_PATH
    constexpr int FOLDER_ONLY = O_PATH | O_DIRECTORY | O_CLOEXEC;  // no right to read it needed
#else
    constexpr int FOLDER_ONLY = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
    *saved = open(".", FOLDER_ONLY);
    const int folder = *saved < 0 ? -1 : open(FolderOf(path).c_str(), FOLDER_ONLY);
    if (folder >= 0 && fchdir(folder) == 0) {
        close(folder);
        return prefix->clear();
    }
    if (folder >= 0) close(folder);
    if (*saved >= 0) close(static_cast<int>(*saved));
    *saved = NO_DESCRIPTOR;
    *prefix = std::string(path, NameStart(path));
}

void LeaveFolder(intptr_t saved) {
    if (saved == NO_DESCRIPTOR) return;
    // Only a folder whose search right was taken away meanwhile refuses: the names of this run's
    // own files are then not found, which fails the run.
    const int back = fchdir(static_cast<int>(saved));
    static_cast<void>(back);
    close(static_cast<int>(saved));
}

intptr_t OpenFolder(const char* path) {
    const int fd = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? NO_DESCRIPTOR : fd;
}

KernelLock LockFile(intptr_t fd, bool wait) {
    // flock, not fcntl's locks: those go at the close of any descriptor of the file in the
    // process, and a run opens its own lock again to read it.
    int result = 0;
    do {
        result = flock(static_cast<int>(fd), LOCK_EX | (wait ? 0 : LOCK_NB));
    } while (result != 0 && errno == EINTR);
    if (result == 0) return KernelLock::TAKEN;
    return errno == EWOULDBLOCK ? KernelLock::REFUSED : KernelLock::NONE;
}

void ListFolder(const char* path, const char* prefix, std::vector<std::string>* names) {
    names->clear();
    DIR* folder = opendir(FolderOf(path).c_str());
    if (folder == nullptr) return;
    const size_t length = std::strlen(prefix);
    while (const dirent* entry = readdir(folder)) {
        if (std::strncmp(entry->d_name, prefix, length) == 0) names->push_back(entry->d_name);
    }
    closedir(folder);
}

void CloseDescriptor(intptr_t fd) {
    if (fd >= 0) close(static_cast<int>(fd));
}

bool SyncFile(intptr_t fd) {
    return FullSync(static_cast<int>(fd));
}

bool SyncRenamed(const char* first, const intptr_t*, size_t) {
    const int fd = open(FolderOf(first).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // A folder the user may write in but not read (a drop box) can't be opened to be flushed.
    if (fd < 0) return errno == EACCES;
    // Some file systems (and FUSE drivers) can't flush a folder and say so.
    const bool synced = FullSync(fd) || errno == EINVAL || errno == ENOTSUP || errno == ENOSYS;
    close(fd);
    return synced;
}

bool WriteBack(std::FILE* file, uint64_t from, uint64_t to) {
#ifdef SYNC_FILE_RANGE_WRITE
    // The wait reports a failed write once for the open file: the flush before the rename would
    // then succeed over the lost bytes. A file system without the call is no failure.
    const unsigned int flags =
        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    if (sync_file_range(fileno(file), static_cast<off_t>(from), static_cast<off_t>(to - from),
                        flags) != 0) {
        return errno == EINVAL || errno == ESPIPE || errno == ENOSYS || errno == EOPNOTSUPP;
    }
#else
    static_cast<void>(file), static_cast<void>(from), static_cast<void>(to);
#endif
    return true;
}

void StartWriteBack(std::FILE* file, uint64_t from, uint64_t to) {
#ifdef SYNC_FILE_RANGE_WRITE
    // What fails here is found by the flush that follows.
    if (to > from) {
        sync_file_range(fileno(file), static_cast<off_t>(from), static_cast<off_t>(to - from),
                        SYNC_FILE_RANGE_WRITE);
    }
#else
    static_cast<void>(file), static_cast<void>(from), static_cast<void>(to);
#endif
}

void DropCached(std::FILE* file, uint64_t from, uint64_t to) {
#if defined(POSIX_FADV_DONTNEED)
    // A length of 0 would mean the rest of the file.
    if (to > from) {
        posix_fadvise(fileno(file), static_cast<off_t>(from), static_cast<off_t>(to - from),
                      POSIX_FADV_DONTNEED);
    }
#else
    static_cast<void>(file), static_cast<void>(from), static_cast<void>(to);
#endif
}

#if defined(__linux__) && defined(SYS_io_submit)
namespace {
// Linux runs an fdatasync in the background through its asynchronous I/O calls (4.18 on; before,
// io_submit refuses it).
aio_context_t flush_context = 0;
bool flush_running = false, flush_refused = false;
}  // namespace

bool StartFlush(std::FILE* file) {
    if (flush_running || flush_refused) return false;
    if (flush_context == 0 && syscall(SYS_io_setup, 1, &flush_context) != 0) {
        flush_refused = true;
        return false;
    }
    iocb request{};
    request.aio_fildes = static_cast<uint32_t>(fileno(file));
    request.aio_lio_opcode = IOCB_CMD_FDSYNC;
    iocb* requests[] = {&request};
    flush_running = syscall(SYS_io_submit, flush_context, 1, requests) == 1;
    return flush_running;
}

Flush FlushProgress(bool wait) {
    if (!flush_running) return Flush::OVER;
    io_event event{};
    timespec no_time{};
    long ended = 0;
    do {
        ended = syscall(SYS_io_getevents, flush_context, wait ? 1 : 0, 1, &event,
                        wait ? nullptr : &no_time);
    } while (ended < 0 && errno == EINTR);
    if (ended == 0) return Flush::RUNNING;
    flush_running = false;
    return ended == 1 && event.res == 0 ? Flush::OVER : Flush::FAILED;
}
#else
bool StartFlush(std::FILE*) {
    return false;
}

Flush FlushProgress(bool) {
    return Flush::OVER;
}
#endif

bool Allocate(intptr_t fd, uint64_t size) {
#ifdef FALLOC_FL_KEEP_SIZE
    if (fallocate(static_cast<int>(fd), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0) {
        return true;
    }
    return errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL;
#else
    return static_cast<void>(fd), static_cast<void>(size), true;
#endif
}

bool RemoveName(const char* name) {
    return unlink(name) == 0 || errno == ENOENT;
}

bool CopyMode(const char* output, intptr_t fd) {
    struct stat st {};
    if (lstat(output, &st) != 0) return errno == ENOENT;
    if (!S_ISREG(st.st_mode)) return true;  // a link or nothing: the new file's own mode
    return fchmod(static_cast<int>(fd), st.st_mode & 0777) == 0;
}

Entry EntryAt(const char* name) {
    struct stat st {};
    if (lstat(name, &st) != 0) return errno == ENOENT ? Entry::MISSING : Entry::UNKNOWN;
    return S_ISDIR(st.st_mode) ? Entry::FOLDER : Entry::OTHER;
}

Naming RenameNoReplace(const char* from, const char* to) {
#if defined(RENAME_NOREPLACE) || defined(RENAME_EXCL)
#if defined(RENAME_NOREPLACE)
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return Naming::DONE;
#else
    if (renamex_np(from, to, RENAME_EXCL) == 0) return Naming::DONE;
#endif
    if (errno == EEXIST) return Naming::TAKEN;
    if (errno == ENOENT) return Naming::NO_SOURCE;
    // File systems without the flag refuse the call; to is then checked free, as below.
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return Naming::FAILED;
#endif
    struct stat st {};
    if (lstat(to, &st) == 0) return Naming::TAKEN;
    if (errno != ENOENT) return Naming::FAILED;
    if (std::rename(from, to) == 0) return Naming::DONE;
    return errno == ENOENT ? Naming::NO_SOURCE : Naming::FAILED;
}

Naming LinkName(const char* from, const char* to) {
    if (link(from, to) == 0) return Naming::DONE;
    if (errno == EEXIST) return Naming::TAKEN;
    if (errno == ENOENT) return Naming::NO_SOURCE;
    // FAT and exFAT, and FUSE drivers without the call; EMLINK: the file has all its links.
    return errno == EPERM || errno == ENOSYS || errno == ENOTSUP || errno == EOPNOTSUPP ||
                   errno == EMLINK
               ? Naming::NO_LINKS
               : Naming::FAILED;
}

Naming RenameOver(const char* from, const char* to) {
    if (std::rename(from, to) == 0) return Naming::DONE;
    return errno == ENOENT ? Naming::NO_SOURCE : Naming::FAILED;
}

bool StreamIdentity(std::FILE* file, FileId* id) {
#if defined(__linux__) && defined(AT_STATX_FORCE_SYNC)
    // A network share's client may answer from what it noted of the file before it was last
    // written on another computer; asked so, it asks the server, and what the program judges the
    // input by is what it opened.
    struct statx st {};
    if (statx(fileno(file), "", AT_EMPTY_PATH | AT_STATX_FORCE_SYNC, STATX_BASIC_STATS, &st) == 0) {
        id->device = static_cast<uint64_t>(makedev(st.stx_dev_major, st.stx_dev_minor));
        id->inode = st.stx_ino;
        id->inode_high = 0;
        id->size = st.stx_size;
        id->mtime = static_cast<uint64_t>(st.stx_mtime.tv_sec) * 1000000000u + st.stx_mtime.tv_nsec;
        return true;
    }
    if (errno != ENOSYS && errno != EINVAL) return false;
#endif
    return DescriptorIdentity(fileno(file), id);
}

bool PathIdentity(const char* path, FileId* id, bool* missing) {
    struct stat st {};
    const bool found = FromStat(stat(path, &st), st, false, id);
    if (missing != nullptr) *missing = !found && (errno == ENOENT || errno == ENOTDIR);
    return found;
}

bool RegularFileIdentity(const char* path, FileId* id) {
    struct stat st {};
    return FromStat(stat(path, &st), st, true, id);
}

bool IsFolder(const char* path) {
    struct stat st {};
    return lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool NameFits(const char* path) {
    std::string p(path);
    if (p.size() >= PATH_MAX || NameStart(p) + TEMPORARY_NAME_LENGTH >= PATH_MAX) return false;
    const long most = pathconf(FolderOf(path).c_str(), _PC_NAME_MAX);
    if (most < 0 || p.size() - NameStart(p) <= static_cast<size_t>(most)) return true;
    // Past the count in bytes, the file system is asked: the name with its last character
    // (ASCII) made a tilde, so that no file stands under the name itself before it is whole.
    if (static_cast<unsigned char>(p.back()) >= 0x80) return true;
    p.back() = '~';
    BlockSignals();
    const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const bool refused = fd < 0 && errno == ENAMETOOLONG;
    if (fd >= 0) close(fd), unlink(p.c_str());
    RestoreSignals();
    return !refused;
}

bool SeekTo(std::FILE* file, uint64_t pos) {
    return fseeko(file, static_cast<off_t>(pos), SEEK_SET) == 0;
}

std::FILE* OpenForReading(const char* path) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
#if defined(POSIX_FADV_SEQUENTIAL)
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    }
    return StreamOn(fd, "rb");
}

void PrepareProcess(int*, char***) {
    // A file opened on a closed standard descriptor would take in what is meant for the console.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        open("/dev/null", O_RDWR);
        if (fd == 1) NoteOutputClosed();
    }
    std::atexit(EraseProgress);
    // Past a file size limit, a write then fails and is reported instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    // A signal that the caller has the process ignore (nohup, say) stays ignored. While one is
    // handled, the others are blocked.
    for (int sig : TERMINATING) {
        struct sigaction old {
        }, handled{};
        sigaction(sig, nullptr, &old);
        if (old.sa_handler == SIG_IGN) continue;
        handled.sa_handler = OnSignal;
        handled.sa_mask = Terminating();
        sigaction(sig, &handled, nullptr);
    }
}

size_t NameStart(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}
