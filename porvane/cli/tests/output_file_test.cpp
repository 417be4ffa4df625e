// Output files opened by programs that may run as root, against names another user planted in a
// shared folder such as /tmp.
#include "porvane/cli/output_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "platform/comm/testing/child_process.h"

namespace porvane::cli {
namespace {

constexpr uid_t kOutsider = 12345;

std::string Contents(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(OutputFileTest, NamesOthersPlantedInASharedFolderAreRefused) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "planting names as another user needs root";
    const comm::testing::TempDir dir;
    const std::string shared = dir.path() + "/shared";
    const std::string own = dir.path() + "/own";
    const std::string victim = dir.path() + "/victim";
    ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(::mkdir(own.c_str(), 0755), 0);
    auto outsiders = [](const std::string& path) {
        ASSERT_EQ(::lchown(path.c_str(), kOutsider, kOutsider), 0);
    };
    auto link_to = [&](const std::string& target, bool planted) {
        return [=](const std::string& path) {
            ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
            if (planted)
                outsiders(path);
        };
    };
    const int kAppend = O_WRONLY | O_CREAT | O_APPEND;
    const int kTruncate = O_WRONLY | O_CREAT | O_TRUNC;
    const struct {
        const char* what;
        std::string path;
        std::function<void(const std::string&)> plant;
        int flags;
        bool opened;
    } cases[] = {
        {"another's link, truncating", shared + "/a", link_to(victim, true), kTruncate, false},
        {"another's link, no creation", shared + "/b", link_to(victim, true), O_WRONLY, false},
        {"another's dangling link", shared + "/c", link_to(victim + "-new", true), kAppend, false},
        {"another's file", shared + "/d",
         [&](const std::string& p) {
             std::ofstream(p) << "";
             outsiders(p);
         },
         kAppend, false},
        {"another's FIFO", shared + "/e",
         [&](const std::string& p) {
             ASSERT_EQ(::mkfifo(p.c_str(), 0666), 0);
             outsiders(p);
         },
         kAppend, false},
        {"one's own link", shared + "/f", link_to(own + "/f-target", false), kAppend, true},
        {"a new name", shared + "/g", nullptr, kTruncate, true},
        {"a link in one's own folder", own + "/h", link_to(own + "/h-target", true), kAppend, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::ofstream(victim, std::ios::trunc) << "secret";
        if (c.plant)
            c.plant(c.path);
        errno = 0;
        const comm::UniqueFd fd = OpenOutputFile(c.path, c.flags, 0644);
        ASSERT_EQ(fd.valid(), c.opened) << std::strerror(errno);
        if (c.opened) {
            ASSERT_EQ(::write(fd.get(), "x", 1), 1);
            EXPECT_EQ(Contents(c.path), "x");
        } else {
            EXPECT_EQ(errno, EACCES);
        }
        EXPECT_EQ(Contents(victim), "secret");
        EXPECT_FALSE(std::ifstream(victim + "-new").good());
    }
}

}  // namespace
}  // namespace porvane::cli
