// Installing and removing the filter under a temporary system root.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <latch>
#include <optional>
#include <string_view>
#include <thread>

#include "platform/comm/testing/child_process.h"
#include "porvane/install/driver_image.h"
#include "porvane/install/filter_installer.h"
#include "porvane/install/logind_rebooter.h"
#include "porvane/install/preload_check.h"
#include "porvane/install/rebooter.h"

namespace porvane::install {
namespace {

using comm::testing::TempDir;
namespace fs = std::filesystem;

constexpr const char* kOurs = "/usr/local/lib/sievra/libsievra.so";
constexpr const char* kWantsLink = "/etc/systemd/system/multi-user.target.wants/sievra.service";

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteText(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
}

class FilterInstallerTest : public ::testing::Test {
  protected:
    FilterInstaller Installer(std::span<const uint8_t> image) {
        return FilterInstaller(dir_.path(), image, "/opt/porvane/bin/sievrad");
    }
    TempDir dir_;
    const std::vector<uint8_t> image_ = ReadBytes(SIEVRA_TEST_IMAGE);
};

// The names of a folder's entries whose names start with prefix.
std::vector<std::string> NamesStartingWith(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0)
            names.push_back(name);
    }
    return names;
}

// Installs and removes race from threads with installers of their own, over a preload file that
// also names another library. After each pair the file may name our library only while the
// library is there, and the other library's line is never lost.
TEST_F(FilterInstallerTest, ConcurrentInstallsAndRemovesNeverLeaveALineWithoutItsLibrary) {
    const std::string preload = dir_.path() + "/etc/ld.so.preload";
    WriteText(preload, "/usr/lib/other/libother.so\n");
    const std::string library = Installer(image_).LibraryFile();
    int dangling = 0;
    for (int round = 0; round < 150; ++round) {
        std::latch start(2);
        int written = -1;
        std::vector<std::string> messages;
        bool removed = false;
        std::string error;
        std::thread installing([&] {
            FilterInstaller installer = Installer(image_);
            start.arrive_and_wait();
            written = installer.InstallFilter(messages);
        });
        std::thread removing([&] {
            FilterInstaller installer = Installer(image_);
            start.arrive_and_wait();
            removed = installer.RemoveFilter(error);
        });
        installing.join();
        removing.join();
        ASSERT_EQ(written, 1) << (messages.empty() ? "" : messages.front());
        ASSERT_TRUE(removed) << error;
        const std::string text = ReadText(preload);
        ASSERT_NE(text.find("/usr/lib/other/libother.so\n"), std::string::npos) << text;
        if (text.find(kOurs) != std::string::npos && !fs::exists(library))
            ++dangling;
    }
    EXPECT_EQ(dangling, 0);
    std::vector<std::string> messages;
    ASSERT_EQ(Installer(image_).InstallFilter(messages), 1);
    EXPECT_TRUE(Installer(image_).IsFilterInstalled());
    EXPECT_EQ(ReadText(preload), std::string(kOurs) + "\n/usr/lib/other/libother.so\n");
    EXPECT_EQ(ReadBytes(library), image_);
    EXPECT_EQ(NamesStartingWith(fs::path(library).parent_path(), ".libsievra.so."),
              std::vector<std::string>{});
    EXPECT_EQ(NamesStartingWith(dir_.path() + "/etc", ".ld.so.preload."),
              std::vector<std::string>{});
}

// Entries share lines, parted by spaces, tabs or colons, and # starts a comment: the loader's
// reading of the file. The filter counts as installed when the file's first entry is ours;
// installing puts our entry on a line of its own first, removing takes out our entry alone.
TEST_F(FilterInstallerTest, OurEntryAmongOthersOnALine) {
    const std::string ours = kOurs;
    struct Case {
        std::string before;
        bool installed;
        std::string after_install;
        std::optional<std::string> after_remove;  // nullopt: the file is gone
    };
    const std::vector<Case> cases = {
        {ours + "\n", true, ours + "\n", std::nullopt},
        {"", false, ours + "\n", ""},  // without our entry the file is left alone
        {ours + " /usr/lib/b.so\n", true, ours + "\n/usr/lib/b.so\n", "/usr/lib/b.so\n"},
        {ours + ":/usr/lib/b.so\n", true, ours + "\n/usr/lib/b.so\n", "/usr/lib/b.so\n"},
        {"  " + ours + "\t# the filter\n", true, ours + "\n# the filter\n", "# the filter\n"},
        {"\n\t" + ours + "\n", true, ours + "\n\n", std::nullopt},
        {"/usr/lib/a.so\t" + ours + "\n", false, ours + "\n/usr/lib/a.so\n", "/usr/lib/a.so\n"},
        {"/usr/lib/a.so: " + ours + " :/usr/lib/b.so # ours: " + ours + "\n", false,
         ours + "\n/usr/lib/a.so: /usr/lib/b.so # ours: " + ours + "\n",
         "/usr/lib/a.so: /usr/lib/b.so # ours: " + ours + "\n"},
        {"# " + ours + "\n/usr/lib/a.so\n", false, ours + "\n# " + ours + "\n/usr/lib/a.so\n",
         "# " + ours + "\n/usr/lib/a.so\n"},
        {ours + ".1 " + ours + "x\n" + ours, false, ours + "\n" + ours + ".1 " + ours + "x\n",
         ours + ".1 " + ours + "x\n"},
    };
    const std::string preload = dir_.path() + "/etc/ld.so.preload";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        WriteText(preload, c.before);
        FilterInstaller installer = Installer(image_);
        EXPECT_EQ(installer.IsFilterInstalled(), c.installed);
        std::string error;
        ASSERT_TRUE(installer.RemoveFilter(error)) << error;
        EXPECT_EQ(fs::exists(preload), c.after_remove.has_value());
        EXPECT_EQ(ReadText(preload), c.after_remove.value_or(""));
        EXPECT_FALSE(installer.IsFilterInstalled());

        WriteText(preload, c.before);
        std::vector<std::string> messages;
        ASSERT_EQ(installer.InstallFilter(messages), 1);
        EXPECT_EQ(ReadText(preload), c.after_install);
        EXPECT_TRUE(installer.IsFilterInstalled());
    }
}

// A preload file that is a symbolic link stays one: the new text goes to the file it leads to,
// read under the root like the loader of the installed system would.
TEST_F(FilterInstallerTest, ASymbolicLinkPreloadFileIsWrittenThrough) {
    const std::string preload = dir_.path() + "/etc/ld.so.preload";
    struct Case {
        std::string link;
        std::string target;  // under the root
        std::string before;  // empty: no target yet
    };
    const std::vector<Case> cases = {
        {"../srv/preload/list", "/srv/preload/list", "/usr/lib/other/libother.so\n"},
        {"/srv/preload/abs", "/srv/preload/abs", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.link);
        fs::create_directories(dir_.path() + "/srv/preload");
        fs::create_directories(dir_.path() + "/etc");
        fs::remove(preload);
        fs::create_symlink(c.link, preload);
        const std::string target = dir_.path() + c.target;
        if (!c.before.empty())
            WriteText(target, c.before);
        FilterInstaller installer = Installer(image_);
        std::vector<std::string> messages;
        ASSERT_EQ(installer.InstallFilter(messages), 1);
        EXPECT_EQ(fs::read_symlink(preload), c.link);
        EXPECT_EQ(ReadText(target), std::string(kOurs) + "\n" + c.before);
        EXPECT_TRUE(installer.IsFilterInstalled());
        std::string error;
        ASSERT_TRUE(installer.RemoveFilter(error)) << error;
        EXPECT_EQ(fs::read_symlink(preload), c.link);
        EXPECT_EQ(ReadText(target), c.before);  // kept, empty when nothing else is left
        EXPECT_TRUE(fs::is_regular_file(target));
        EXPECT_EQ(NamesStartingWith(fs::path(target).parent_path(), "."),
                  std::vector<std::string>{});
    }
}

// Limits the size of the files this process may write, with the signal that limit sends
// ignored, so a longer write fails as on a full disk (root included); restores both after.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGXFSZ, &ignore, &saved_action_);
        const rlimit limit{bytes, saved_.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::sigaction(SIGXFSZ, &saved_action_, nullptr);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit saved_{};
    struct sigaction saved_action_ {};
};

// The preload file cannot be written (its new text is longer than a file may grow): the
// installation fails, says why, and leaves the library, the unit and the preload file as they
// were.
TEST_F(FilterInstallerTest, AnInstallationThatCannotWriteThePreloadLineChangesNothing) {
    ASSERT_LT(image_.size(), 32u * 1024);
    const std::string preload = dir_.path() + "/etc/ld.so.preload";
    const std::string before =
        "/usr/lib/other/libother.so\n# " + std::string(64 * 1024, '-') + "\n";
    for (const bool library_before : {false, true}) {
        SCOPED_TRACE(library_before);
        TempDir root;
        FilterInstaller installer(root.path(), image_, "/usr/local/bin/sievrad");
        WriteText(root.path() + "/etc/ld.so.preload", before);
        const std::string old_library = "an earlier library";
        if (library_before)
            WriteText(installer.LibraryFile(), old_library);
        std::vector<std::string> messages;
        {
            FileSizeLimit limit(32 * 1024);
            EXPECT_EQ(installer.InstallFilter(messages), 0);
        }
        ASSERT_EQ(messages, std::vector<std::string>{"创建驱动文件失败!!"});
        EXPECT_NE(installer.failure_reason().find(std::strerror(EFBIG)), std::string::npos)
            << installer.failure_reason();
        EXPECT_FALSE(installer.IsFilterInstalled());
        EXPECT_EQ(ReadText(root.path() + "/etc/ld.so.preload"), before);
        EXPECT_EQ(fs::exists(installer.LibraryFile()), library_before);
        if (library_before) {
            EXPECT_TRUE(ReadText(installer.LibraryFile()) == old_library);
        }
        EXPECT_FALSE(fs::exists(installer.UnitFile()));
        EXPECT_FALSE(fs::exists(root.path() + kWantsLink));
        EXPECT_EQ(NamesStartingWith(root.path() + "/usr/local/lib/sievra", ".libsievra.so."),
                  std::vector<std::string>{});
        EXPECT_EQ(NamesStartingWith(root.path() + "/etc", ".ld.so.preload."),
                  std::vector<std::string>{});
    }
}

// Temporaries a killed run left behind go with the next installation or removal; files of
// similar names that are not ours stay.
TEST_F(FilterInstallerTest, TheNextRunRemovesLeftoverTemporaries) {
    const std::string lib_dir = dir_.path() + "/usr/local/lib/sievra";
    const std::vector<std::string> leftovers = {
        lib_dir + "/.libsievra.so.a1B2c3", dir_.path() + "/etc/.ld.so.preload.Zz09yY",
        dir_.path() + "/etc/systemd/system/.sievra.service.Qq11Rr"};
    const std::vector<std::string> others = {lib_dir + "/.libsievra.so.keep",
                                             dir_.path() + "/etc/ld.so.preload.backup",
                                             dir_.path() + "/etc/.ld.so.preload.older1.bak"};
    for (const std::string& other : others)
        WriteText(other, "not ours");
    for (const bool install : {true, false}) {
        SCOPED_TRACE(install);
        for (const std::string& leftover : leftovers)
            WriteText(leftover, std::string(4096, 'x'));
        FilterInstaller installer = Installer(image_);
        std::vector<std::string> messages;
        std::string error;
        ASSERT_TRUE(install ? installer.InstallFilter(messages) == 1
                            : installer.RemoveFilter(error));
        for (const std::string& leftover : leftovers)
            EXPECT_FALSE(fs::exists(leftover)) << leftover;
        for (const std::string& other : others)
            EXPECT_EQ(ReadText(other), "not ours") << other;
    }
}

TEST_F(FilterInstallerTest, InstallRemoveAndInstallAgain) {
    ASSERT_FALSE(image_.empty());
    FilterInstaller installer = Installer(image_);
    EXPECT_FALSE(installer.IsFilterInstalled());

    std::vector<std::string> messages;
    EXPECT_EQ(installer.InstallFilter(messages), 1);
    EXPECT_TRUE(messages.empty()) << messages.front();
    EXPECT_TRUE(installer.IsFilterInstalled());
    EXPECT_EQ(ReadBytes(dir_.path() + "/usr/local/lib/sievra/libsievra.so"), image_);
    EXPECT_EQ(ReadText(dir_.path() + "/etc/ld.so.preload"), "/usr/local/lib/sievra/libsievra.so\n");
    const std::string unit = ReadText(dir_.path() + "/etc/systemd/system/sievra.service");
    EXPECT_NE(unit.find("ExecStart=/opt/porvane/bin/sievrad --runtime-dir /run/sievra --group "
                        "dialout\n"),
              std::string::npos);
    EXPECT_EQ(std::filesystem::read_symlink(
                  dir_.path() + "/etc/systemd/system/multi-user.target.wants/sievra.service"),
              "/etc/systemd/system/sievra.service");

    std::string error;
    EXPECT_TRUE(installer.RemoveFilter(error)) << error;
    EXPECT_FALSE(installer.IsFilterInstalled());
    EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/usr/local/lib/sievra/libsievra.so"));
    EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/etc/ld.so.preload"));
    EXPECT_TRUE(std::filesystem::exists(dir_.path() + "/etc/systemd/system/sievra.service"));

    // The unit file stays as the first installation wrote it (or as the administrator edited it).
    WriteText(dir_.path() + "/etc/systemd/system/sievra.service", unit + "# edited\n");
    EXPECT_EQ(installer.InstallFilter(messages), 1);
    EXPECT_TRUE(installer.IsFilterInstalled());
    EXPECT_EQ(ReadText(dir_.path() + "/etc/systemd/system/sievra.service"), unit + "# edited\n");
    EXPECT_EQ(ReadBytes(dir_.path() + "/usr/local/lib/sievra/libsievra.so"), image_);
}

// Under "umask 0" the folders an installation makes are still root's alone: a library folder
// others could write would let them replace what every program loads.
TEST_F(FilterInstallerTest, TheFoldersItMakesAreNotWritableByOthersWhateverTheUmask) {
    const mode_t before = ::umask(0);
    std::vector<std::string> messages;
    const int installed = Installer(image_).InstallFilter(messages);
    ::umask(before);
    ASSERT_EQ(installed, 1) << (messages.empty() ? "" : messages.front());
    int folders = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
        if (!entry.is_directory() || entry.is_symlink())
            continue;
        ++folders;
        EXPECT_EQ(entry.status().permissions() & (fs::perms::group_write | fs::perms::others_write),
                  fs::perms::none)
            << entry.path();
    }
    EXPECT_GE(folders, 6);
}

TEST_F(FilterInstallerTest, OtherPreloadedLibrariesAreKept) {
    WriteText(dir_.path() + "/etc/ld.so.preload", "/usr/lib/other/libother.so\n");
    FilterInstaller installer = Installer(image_);
    EXPECT_FALSE(installer.IsFilterInstalled());  // the first line names another library
    std::vector<std::string> messages;
    ASSERT_EQ(installer.InstallFilter(messages), 1);
    EXPECT_EQ(ReadText(dir_.path() + "/etc/ld.so.preload"),
              "/usr/local/lib/sievra/libsievra.so\n/usr/lib/other/libother.so\n");
    // Installing twice keeps one line of ours.
    ASSERT_EQ(installer.InstallFilter(messages), 1);
    EXPECT_EQ(ReadText(dir_.path() + "/etc/ld.so.preload"),
              "/usr/local/lib/sievra/libsievra.so\n/usr/lib/other/libother.so\n");
    std::string error;
    EXPECT_TRUE(installer.RemoveFilter(error)) << error;
    EXPECT_EQ(ReadText(dir_.path() + "/etc/ld.so.preload"), "/usr/lib/other/libother.so\n");
}

TEST_F(FilterInstallerTest, RemovalThatCannotEditThePreloadFileKeepsTheLibrary) {
    FilterInstaller installer = Installer(image_);
    std::vector<std::string> messages;
    ASSERT_EQ(installer.InstallFilter(messages), 1);
    WriteText(dir_.path() + "/etc/ld.so.preload",
              "/usr/local/lib/sievra/libsievra.so\n/usr/lib/other/libother.so\n");
    // An /etc we may not write: read-only, or (as root, for whom permission bits do not hold) a
    // folder standing where the preload file is, which can be neither rewritten nor removed.
    const std::string etc = dir_.path() + "/etc";
    if (::geteuid() != 0) {
        ::chmod(etc.c_str(), 0555);
    } else {
        std::filesystem::rename(etc, dir_.path() + "/etc.kept");
        std::filesystem::create_directories(etc + "/ld.so.preload");
    }
    std::string error;
    EXPECT_FALSE(installer.RemoveFilter(error));
    EXPECT_FALSE(error.empty());
    ::chmod(etc.c_str(), 0755);
    // The line still names the library, so the library must still be there.
    EXPECT_EQ(ReadBytes(installer.LibraryFile()), image_);
}

TEST_F(FilterInstallerTest, EmptyOrForeignFirstLineIsNotInstalled) {
    FilterInstaller installer = Installer(image_);
    WriteText(dir_.path() + "/etc/ld.so.preload", "\n");
    EXPECT_FALSE(installer.IsFilterInstalled());
    WriteText(dir_.path() + "/etc/ld.so.preload",
              "/usr/lib/x.so\n/usr/local/lib/sievra/libsievra.so\n");
    EXPECT_FALSE(installer.IsFilterInstalled());
}

TEST_F(FilterInstallerTest, ALibraryThatDoesNotLoadIsRefusedAndNothingIsWritten) {
    WriteText(dir_.path() + "/etc/ld.so.preload", "/usr/lib/other/libother.so\n");
    const std::vector<uint8_t> broken = {'n', 'o', 't', ' ', 'E', 'L', 'F'};
    FilterInstaller installer = Installer(broken);
    std::vector<std::string> messages;
    EXPECT_EQ(installer.InstallFilter(messages), 0);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("驱动文件不能加载,没有安装!!\r\n", 0), 0u) << messages[0];
    EXPECT_NE(messages[0].find("cannot be preloaded"), std::string::npos) << messages[0];
    EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/usr/local/lib/sievra/libsievra.so"));
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path() + "/usr/local/lib/sievra"));
    EXPECT_EQ(ReadText(dir_.path() + "/etc/ld.so.preload"), "/usr/lib/other/libother.so\n");
    EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/etc/systemd/system/sievra.service"));
}

TEST_F(FilterInstallerTest, WithoutRightsTheFileCannotBeCreated) {
    // A file where the library's folder must go stands for a folder we may not write (the
    // tests may run as root, for whom permission bits do not hold).
    WriteText(dir_.path() + "/usr/local/lib/sievra", "in the way");
    FilterInstaller installer = Installer(image_);
    std::vector<std::string> messages;
    EXPECT_EQ(installer.InstallFilter(messages), 0);
    ASSERT_EQ(messages, std::vector<std::string>{"创建驱动文件失败!!"});
    EXPECT_EQ(installer.failure_reason().rfind(
                  "Can't create " + dir_.path() + "/usr/local/lib/sievra: ", 0),
              0u)
        << installer.failure_reason();
    EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/etc/ld.so.preload"));
    if (::geteuid() != 0) {
        TempDir locked;
        ::chmod(locked.path().c_str(), 0555);
        FilterInstaller denied(locked.path(), image_, "/usr/local/bin/sievrad");
        messages.clear();
        EXPECT_EQ(denied.InstallFilter(messages), 0);
        EXPECT_EQ(messages, std::vector<std::string>{"创建驱动文件失败!!"});
        ::chmod(locked.path().c_str(), 0755);
    }
}

TEST_F(FilterInstallerTest, SysRootComesFromTheEnvironment) {
    setenv("SIEVRA_SYSROOT", (dir_.path() + "/").c_str(), 1);
    EXPECT_EQ(FilterInstaller::SysRoot(), dir_.path());
    EXPECT_FALSE(IsFilterInstalled());
    WriteText(dir_.path() + "/etc/ld.so.preload", "/usr/local/lib/sievra/libsievra.so\n");
    EXPECT_TRUE(IsFilterInstalled());
    setenv("SIEVRA_SYSROOT", "/", 1);
    EXPECT_EQ(FilterInstaller::SysRoot(), "");
    unsetenv("SIEVRA_SYSROOT");
    EXPECT_EQ(FilterInstaller::SysRoot(), "");
}

// The unit file's program runs as root at every boot: it is one of root's that stays, never a
// build folder's or one that someone else could replace.
TEST(SievradPath, OnlyAnInstallationOfRootsIsStartedByTheUnit) {
    const std::string installed = std::string(PORVANE_INSTALL_BINDIR) + "/sievrad";
    TempDir dir;
    const std::string copied = dir.path() + "/sievrad";
    fs::copy_file(comm::testing::ChildProcess::BinDir() + "/sievrad", copied);
    struct Row {
        const char* name;
        std::string path;
        bool roots;
    } rows[] = {
        {"a system program", "/usr/bin/env", true},
        {"a folder", "/usr/bin", false},
        {"a path with ..", "/usr/bin/../bin/env", false},
        {"a relative path", "usr/bin/env", false},
        {"a name with a space", "/usr/bin/env x", false},
        {"in a folder everyone may write", copied, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(FilterInstaller::IsRootsProgram(row.path), row.roots);
    }
    // Where nothing is yet, the folders decide.
    const std::string users = dir.path() + "/users";
    fs::create_directory(users);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(users.c_str(), 12345, 12345), 0);
    }
    const Row places[] = {
        {"an installed program", "/usr/bin/env", true},
        {"nothing yet in a folder of root's", "/usr/bin/no-such-sievrad", true},
        {"nothing yet, even the folders", "/usr/no/such/folder/sievrad", true},
        {"a program someone else may replace", copied, false},
        {"nothing yet, in a folder everyone may write", dir.path() + "/no/sievrad", false},
        {"nothing yet, in another user's folder", users + "/sievrad", false},
    };
    for (const Row& row : places) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(FilterInstaller::IsRootsPlace(row.path), row.roots);
    }
    EXPECT_EQ(FilterInstaller::DefaultSievradPath(comm::testing::ChildProcess::BinDir()),
              installed);
    EXPECT_EQ(FilterInstaller::DefaultSievradPath(dir.path()), installed);
    EXPECT_EQ(FilterInstaller::DefaultSievradPath(), installed);  // this test runs from a build
}

TEST_F(FilterInstallerTest, AHostPathThatWouldChangeTheUnitIsRefused) {
    for (const char* path :
         {"/opt/x\nExecStartPre=/tmp/evil", "/opt/my dir/sievrad", "sievrad", "/tmp/sievrad"}) {
        SCOPED_TRACE(path);
        FilterInstaller installer(dir_.path(), image_, path);
        std::vector<std::string> messages;
        EXPECT_EQ(installer.InstallFilter(messages), 0);
        EXPECT_FALSE(installer.IsFilterInstalled());
        EXPECT_FALSE(fs::exists(installer.UnitFile()));
        EXPECT_FALSE(fs::exists(installer.LibraryFile()));
    }
}

TEST(DriverImage, TheEmbeddedImageIsTheBuiltLibraryByteForByte) {
    const std::span<const uint8_t> image = EmbeddedDriverImage();
    const std::vector<uint8_t> file = ReadBytes(EMBEDDED_IMAGE_SOURCE);
    ASSERT_FALSE(file.empty());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), file.begin(), file.end()));
    // Without debugging information: no section of it is named in the image.
    const std::string_view bytes(reinterpret_cast<const char*>(image.data()), image.size());
    EXPECT_EQ(bytes.find(".debug_"), std::string_view::npos);
}

// The image the workbench really carries, the attachment: written byte for byte under a root,
// after a program started with it preloaded.
TEST_F(FilterInstallerTest, TheEmbeddedAttachmentInstallsAndItsPreloadCheckPasses) {
    const std::span<const uint8_t> image = EmbeddedDriverImage();
    ASSERT_FALSE(image.empty());
    FilterInstaller installer = Installer(image);
    std::vector<std::string> messages;
    EXPECT_EQ(installer.InstallFilter(messages), 1);
    EXPECT_TRUE(messages.empty()) << messages.front();
    const std::vector<uint8_t> written = ReadBytes(installer.LibraryFile());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), written.begin(), written.end()));
    EXPECT_EQ(written, ReadBytes(EMBEDDED_IMAGE_SOURCE));
    std::string reason;
    EXPECT_TRUE(ProgramStartsWithPreload(installer.LibraryFile(), reason)) << reason;
}

TEST(PreloadCheck, ReportsTheLoadersReason) {
    std::string reason;
    EXPECT_TRUE(ProgramStartsWithPreload(SIEVRA_TEST_IMAGE, reason)) << reason;
    EXPECT_FALSE(ProgramStartsWithPreload("/nonexistent/libnothing.so", reason));
    EXPECT_NE(reason.find("libnothing.so"), std::string::npos) << reason;
    EXPECT_FALSE(ProgramStartsWithPreload(SIEVRA_TEST_IMAGE, reason, "/bin/false"));
    EXPECT_NE(reason.find("status 1"), std::string::npos) << reason;
}

class RecordingRebooter : public Rebooter {
  public:
    bool Reboot(std::string& failed_step) override {
        ++calls;
        failed_step = "logind Reboot: Access denied";
        return accept;
    }
    int calls = 0;
    bool accept = true;
};

TEST(RestartComputer, UnderAnotherSystemRootTheMachineIsNotAsked) {
    RecordingRebooter rebooter;
    std::vector<std::string> messages;
    RestartComputer(rebooter, "/tmp/scratch-root", messages);
    EXPECT_EQ(rebooter.calls, 0);
    EXPECT_EQ(messages, std::vector<std::string>{NotRestartedMessage("/tmp/scratch-root")});
    EXPECT_NE(messages[0].find("/tmp/scratch-root"), std::string::npos);
}

TEST(RestartComputer, SaysWhichStepFailed) {
    RecordingRebooter rebooter;
    std::vector<std::string> messages;
    RestartComputer(rebooter, "", messages);
    EXPECT_EQ(rebooter.calls, 1);
    EXPECT_TRUE(messages.empty());
    rebooter.accept = false;
    RestartComputer(rebooter, "", messages);
    EXPECT_EQ(messages, std::vector<std::string>{"Reboot Error: logind Reboot: Access denied"});

    TempDir dir;
    const std::string fake = dir.path() + "/busctl";
    WriteText(fake, "#!/bin/sh\necho \"Call failed: $5 refused\" >&2\nexit 1\n");
    ::chmod(fake.c_str(), 0755);
    std::string step;
    EXPECT_FALSE(LogindRebooter(fake).Reboot(step));
    EXPECT_EQ(step, "logind Reboot: Call failed: Reboot refused");
    EXPECT_FALSE(LogindRebooter(dir.path() + "/no-busctl").Reboot(step));
    EXPECT_EQ(step.rfind("start " + dir.path() + "/no-busctl: ", 0), 0u) << step;
}

}  // namespace
}  // namespace porvane::install
