// Installing and removing the filter under a temporary system root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/comm/testing/child_process.h"
#include "porvane/install/driver_image.h"
#include "porvane/install/filter_installer.h"
#include "porvane/install/logind_rebooter.h"
#include "porvane/install/preload_check.h"
#include "porvane/install/rebooter.h"

namespace porvane::install {
namespace {

using comm::testing::TempDir;

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
    EXPECT_EQ(messages, std::vector<std::string>{"创建驱动文件失败!!"});
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

TEST(DriverImage, TheEmbeddedImageIsTheBuiltLibraryByteForByte) {
    const std::span<const uint8_t> image = EmbeddedDriverImage();
    const std::vector<uint8_t> file = ReadBytes(EMBEDDED_IMAGE_SOURCE);
    ASSERT_FALSE(file.empty());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), file.begin(), file.end()));
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
