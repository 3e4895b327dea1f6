// The POSIX system calls.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <tuple>
#include <vector>

#include "system/system_private.h"

// The system calls the pair's replacement makes, as a real file system answers them: what each
// says when a name is taken, missing, a folder, or under a file.
TEST(System, CallsSayWhatStandsInTheWay) {
    const std::string dir = "unit_posix_system/";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir + "folder");
    const std::string a = dir + "a", b = dir + "b", missing = dir + "missing", under = a + "/x";
    bool taken = false;
    CloseDescriptor(CreateNew(a.c_str(), &taken));
    EXPECT_FALSE(taken);
    EXPECT_EQ(CreateNew(a.c_str(), &taken), NO_DESCRIPTOR);
    EXPECT_TRUE(taken);
    EXPECT_EQ(CreateNew((missing + "/x").c_str(), &taken), NO_DESCRIPTOR);
    EXPECT_FALSE(taken);
    const std::tuple<Naming, Naming, std::string, std::string> rows[] = {
        {RenameNoReplace(a.c_str(), (dir + "folder").c_str()), Naming::TAKEN, "onto a folder", a},
        {RenameNoReplace(missing.c_str(), b.c_str()), Naming::NO_SOURCE, "rename of nothing", b},
        {RenameNoReplace(under.c_str(), b.c_str()), Naming::FAILED, "rename under a file", b},
        {RenameNoReplace(a.c_str(), b.c_str()), Naming::DONE, "rename to a free name", b},
    };
    for (const auto& [said, expected, row, name] : rows) EXPECT_EQ(said, expected) << row << name;
    EXPECT_EQ(EntryAt(a.c_str()), Entry::MISSING);
    EXPECT_EQ(EntryAt(b.c_str()), Entry::OTHER);
    EXPECT_EQ(EntryAt((dir + "folder").c_str()), Entry::FOLDER);
    EXPECT_EQ(EntryAt((b + "/x").c_str()), Entry::UNKNOWN);
    // What fails says so: a flush, a removal, a mode copy, a folder's flush; a name already gone
    // is removed.
    EXPECT_FALSE(SyncFile(NO_DESCRIPTOR) || RemoveName((b + "/x").c_str()) ||
                 SyncRenamed(under.c_str(), nullptr, 0));
    EXPECT_TRUE(RemoveName(missing.c_str()));
    const int fd = static_cast<int>(CreateNew(a.c_str(), &taken));
    std::filesystem::permissions(b, std::filesystem::perms(0604));
    EXPECT_TRUE(SyncFile(fd) && CopyMode(missing.c_str(), fd) && !CopyMode((b + "/x").c_str(), fd));
    EXPECT_TRUE(CopyMode(b.c_str(), fd) &&
                SyncRenamed(b.c_str(), std::vector<intptr_t>{fd, fd}.data(), 2));
    EXPECT_EQ(std::filesystem::status(a).permissions(), std::filesystem::perms(0604));
    CloseDescriptor(fd);
    EXPECT_TRUE(RemoveName(a.c_str()) && !std::filesystem::exists(a));
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed
    // A name's length counts from its folder on; asking the file system leaves signals open.
    EXPECT_TRUE(NameFits((dir + std::string(255, 'n')).c_str()));
    EXPECT_FALSE(NameFits((dir + std::string(256, 'n')).c_str()));
    // The terminating signals are blocked while held, and the caller's mask comes back after.
    sigset_t mask;
    BlockSignals();
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_TRUE(sigismember(&mask, SIGINT) && sigismember(&mask, SIGTERM));
    RestoreSignals();
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGINT) || sigismember(&mask, SIGTERM));
    // A process whose standard descriptors are open opens none.
    const int lowest = open("/dev/null", O_RDONLY);
    close(lowest);
    int argc = 0;
    char** argv = nullptr;
    PrepareProcess(&argc, &argv);
    EXPECT_EQ(open("/dev/null", O_RDONLY), lowest);
    close(lowest);
    std::filesystem::remove_all(dir);
}
