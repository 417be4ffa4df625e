// The library as a whole: what it exports, opening and closing, a silent reader, the README's
// example against the simulator program, and the installed package.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>

#include "platform/comm/kernel_termios.h"
#include "platform/comm/testing/child_process.h"
#include "quor_b.h"
#include "reader/tests/simulated_reader.h"

namespace {

using comm::testing::ChildProcess;
using comm::testing::TempDir;
using reader::testing::SimulatedReader;

std::string RunShell(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

std::string LibraryPath() {
    return ChildProcess::BinDir() + "/../lib/libquor_b.so";
}

TEST(QuorLibrary, ExportsExactlyTheThirtyEightFunctions) {
    const std::string symbols =
        RunShell("nm -D --defined-only " + LibraryPath() + " | awk '{print $3}'");
    std::set<std::string> exported;
    size_t at = 0;
    while (at < symbols.size()) {
        size_t end = symbols.find('\n', at);
        std::string name = symbols.substr(at, end - at);
        if (!name.empty())
            exported.insert(name);
        at = end == std::string::npos ? symbols.size() : end + 1;
    }
    const std::set<std::string> expected = {"Quor_Init",
                                            "Quor_Exit",
                                            "Quor_Request",
                                            "Quor_Anticoll",
                                            "Quor_Anticoll2",
                                            "Quor_Select",
                                            "Quor_Casc_Anticoll",
                                            "Quor_Casc_Select",
                                            "Quor_Get_CardSnr",
                                            "Quor_ReadADDT",
                                            "Quor_Halt",
                                            "Quor_Auth",
                                            "Quor_Auth2",
                                            "Quor_Auth_Key",
                                            "Quor_Load_Key",
                                            "Quor_AutoDetect",
                                            "Quor_Read",
                                            "Quor_Write",
                                            "Quor_Ul_Write",
                                            "Quor_Read_Auth",
                                            "Quor_Write_Auth",
                                            "Quor_Increment",
                                            "Quor_Decrement",
                                            "Quor_Restore",
                                            "Quor_Transfer",
                                            "Quor_Value",
                                            "Quor_ReadValue_Auth",
                                            "Quor_WriteValue_Auth",
                                            "Quor_Value_Auth",
                                            "Quor_Reset",
                                            "Quor_Close",
                                            "Quor_Config",
                                            "Quor_Get_Info",
                                            "Quor_Set_Control_Bit",
                                            "Quor_Clr_Control_Bit",
                                            "Quor_Buzzer",
                                            "Quor_Read_E2",
                                            "Quor_Write_E2"};
    EXPECT_EQ(expected.size(), 38u);
    EXPECT_EQ(exported, expected);
    EXPECT_NE(RunShell("objdump -p " + LibraryPath() + " | grep SONAME").find("libquor_b.so.1"),
              std::string::npos);
}

class QuorLibraryTest : public ::testing::Test {
  protected:
    // Exchanges whose outcome does not rest on timing get roomy waits; the tests of the waits
    // themselves take the scale away.
    void SetUp() override { setenv("QUOR_B_TIMEOUT_SCALE", "20", 1); }
    void TearDown() override {
        unsetenv("QUOR_B_TIMEOUT_SCALE");
        Quor_Exit();
        for (const char* name : {"COM1", "COM2", "COM3", "COM4"})
            unsetenv(name);
    }
};

TEST_F(QuorLibraryTest, InitFallsBackToComOneAndToTheFastestRate) {
    SimulatedReader one;
    SimulatedReader two;
    setenv("COM1", one.path().c_str(), 1);
    setenv("COM2", two.path().c_str(), 1);
    ASSERT_EQ(Quor_Init(7, 9600), 0);  // no port 7: COM1
    uint16_t type = 0;
    EXPECT_EQ(Quor_Request(0x52, &type), 0);
    EXPECT_EQ(one.simulator().requests().size(), 1u);
    EXPECT_EQ(Quor_Exit(), 1);

    ASSERT_EQ(Quor_Init(2, 4800), 0);  // no 4800: 115200
    comm::KernelTermios t;
    ASSERT_TRUE(comm::GetKernelTermios(two.master(), t));
    EXPECT_EQ(t.ospeed, 115200u);
    EXPECT_EQ(Quor_Request(0x52, &type), 0);
    EXPECT_EQ(two.simulator().requests().size(), 1u);
}

TEST_F(QuorLibraryTest, SecondInitIsRefusedAndTheFirstPortStaysUsable) {
    SimulatedReader reader;
    setenv("COM1", reader.path().c_str(), 1);
    ASSERT_EQ(Quor_Init(1, 115200), 0);
    EXPECT_EQ(Quor_Init(1, 9600), -1);
    uint16_t type = 0;
    EXPECT_EQ(Quor_Request(0x52, &type), 0);
    EXPECT_EQ(Quor_Exit(), 1);
    EXPECT_EQ(Quor_Exit(), 0);
}

TEST_F(QuorLibraryTest, ExitWithoutInitAndInitOnAMissingPort) {
    EXPECT_EQ(Quor_Exit(), 0);
    setenv("COM3", "/dev/no-such-reader", 1);
    EXPECT_EQ(Quor_Init(3, 9600), -1);
    uint8_t data[16] = {0x42};
    EXPECT_EQ(Quor_Read(4, data), 0xFF);  // no port: no reply
    EXPECT_EQ(data[0], 0x42);
}

TEST_F(QuorLibraryTest, SilentReaderGivesNoReplyWithinThePortWaits) {
    unsetenv("QUOR_B_TIMEOUT_SCALE");
    SimulatedReader reader({.never_acknowledge = true});
    setenv("COM1", reader.path().c_str(), 1);
    ASSERT_EQ(Quor_Init(1, 9600), 0);
    uint32_t serial = 0x12345678;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Quor_Anticoll(0x93, &serial), 0xFF);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_EQ(serial, 0x12345678u);
    EXPECT_GE(ms, 3 * 50);  // three attempts, each waiting out the 50 ms byte time-out
}

TEST_F(QuorLibraryTest, ReadmeExampleListsTheSerialFromTheSimulatorProgram) {
    TempDir dir;
    const std::string link = dir.path() + "/reader";
    ChildProcess sim("quor-sim", {link});
    ASSERT_TRUE(comm::testing::WaitForPath(link));
    setenv("COM1", link.c_str(), 1);
    ChildProcess example("quor_list_serial", {});
    EXPECT_EQ(example.ReadAllOutput(), "card type 0004, serial 3A7C9105\n");
    EXPECT_EQ(example.Wait(), 0);
}

TEST_F(QuorLibraryTest, SimulatorProgramFaultModes) {
    TempDir dir;
    const std::string link = dir.path() + "/reader";
    ChildProcess sim("quor-sim", {link, "--status", "10", "--serial", "01020304"});
    ASSERT_TRUE(comm::testing::WaitForPath(link));
    setenv("COM1", link.c_str(), 1);
    ASSERT_EQ(Quor_Init(1, 115200), 0);
    uint16_t type = 0x1111;
    EXPECT_EQ(Quor_Request(0x52, &type), 0x0A);
    EXPECT_EQ(type, 0x1111);
}

// With the library, the installation puts the programs in place with their manual pages and
// completion, and the attachment where porvane-cli watch finds it.
TEST(QuorPackage, InstallsLibraryHeaderPkgConfigAndCMakePackage) {
    TempDir prefix;
    const std::string build = ChildProcess::BinDir() + "/..";
    RunShell("cmake --install " + build + " --prefix " + prefix.path() +
             " --component Unspecified >/dev/null 2>&1");
    namespace fs = std::filesystem;
    const fs::path root = prefix.path();
    EXPECT_TRUE(fs::exists(root / "include/quor_b.h"));
    bool library = false;
    for (const auto& dir : {"lib", "lib64", "lib/x86_64-linux-gnu"}) {
        library = library || fs::exists(root / dir / "libquor_b.so.1");
        if (fs::exists(root / dir / "pkgconfig/quor_b.pc")) {
            EXPECT_TRUE(fs::exists(root / dir / "cmake/quor_b/quor_bConfig.cmake"));
            const std::string flags =
                RunShell("PKG_CONFIG_PATH=" + (root / dir / "pkgconfig").string() +
                         " pkg-config --libs --cflags quor_b");
            EXPECT_NE(flags.find("-lquor_b"), std::string::npos) << flags;
            // The install prefix, not the one the build was configured with.
            EXPECT_NE(flags.find("-I" + prefix.path() + "/include"), std::string::npos) << flags;
            EXPECT_TRUE(fs::exists(root / dir / "porvane/libsievra.so"));
        }
    }
    EXPECT_TRUE(library);
    for (const char* program : {"porvane-cli", "brevant-cli", "sievrad", "vport", "quor-sim"}) {
        SCOPED_TRACE(program);
        EXPECT_TRUE(fs::exists(root / "bin" / program));
        EXPECT_TRUE(fs::exists(root / "share/man/man1" / (std::string(program) + ".1")));
        EXPECT_TRUE(fs::exists(root / "share/bash-completion/completions" / program));
    }
}

}  // namespace
