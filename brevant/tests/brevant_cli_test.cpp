// brevant-cli as a newcomer meets it: the command file shipped as the example, and the messages
// for a file without commands, an unreadable file and a port that does not open.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/comm/testing/child_process.h"

namespace brevant {
namespace {

using comm::testing::ChildProcess;
using comm::testing::TempDir;

TEST(BrevantCli, RunsTheShippedExampleFile) {
    TempDir dir;
    const std::string link = dir.path() + "/reader";
    ChildProcess sim("quor-sim", {link});
    ASSERT_TRUE(comm::testing::WaitForPath(link));
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    setenv("COM1", link.c_str(), 1);
    // A generous window: the reader simulator answers at once, but a loaded machine may not
    // run it at once.
    ChildProcess cli("brevant-cli", {"run", BREVANT_EXAMPLES_DIR "/commands.ini", "--port", "1",
                                     "--wait", "1500"});
    const std::string output = cli.ReadAllOutput(30000);
    EXPECT_EQ(cli.Wait(), 0);
    unsetenv("COM1");
    unsetenv("XDG_CONFIG_HOME");
    std::istringstream lines(output);
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);)
        rows.push_back(line.substr(0, line.rfind('\t')));
    EXPECT_EQ(rows, (std::vector<std::string>{
                        "1\trequest: every card in the field\t20 00 41 01 52 ED 03\t06 20 ",
                        "2\tanticollision: the card's serial number\t20 00 42 01 00 BC 03\t06 20 ",
                        "3\thalt\t20 00 45 00 BA 03\t06 20 "}));
}

// The reader acknowledges at once and announces its reply 700 ms later: the default window of
// 300 ms ends before the announcement, a window of 3 s takes it in.
TEST(BrevantCli, EachCommandCollectsItsReplyForTheWait) {
    TempDir dir;
    const std::string link = dir.path() + "/reader";
    ChildProcess sim("quor-sim", {link, "--delay", "700"});
    ASSERT_TRUE(comm::testing::WaitForPath(link));
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    setenv("COM1", link.c_str(), 1);
    const std::string file = dir.path() + "/one.ini";
    std::ofstream(file, std::ios::binary) << "/*****************/\r\nrequest\r\n00 41 01 52\r\n";
    auto reply_of = [](const std::string& output) {
        const size_t end = output.rfind('\t');
        const size_t begin = output.rfind('\t', end - 1);
        return output.substr(begin + 1, end - begin - 1);
    };
    ChildProcess wide("brevant-cli", {"run", file, "--port", "1", "--wait", "3000"});
    const std::string wide_output = wide.ReadAllOutput(30000);
    EXPECT_EQ(wide.Wait(), 0);
    ChildProcess narrow("brevant-cli", {"run", file, "--port", "1"});
    const std::string narrow_output = narrow.ReadAllOutput(30000);
    EXPECT_EQ(narrow.Wait(), 0);  // the acknowledgement came in time
    unsetenv("COM1");
    unsetenv("XDG_CONFIG_HOME");
    ASSERT_EQ(std::count(wide_output.begin(), wide_output.end(), '\t'), 4) << wide_output;
    ASSERT_EQ(std::count(narrow_output.begin(), narrow_output.end(), '\t'), 4) << narrow_output;
    EXPECT_EQ(reply_of(wide_output), "06 20 ");
    EXPECT_EQ(reply_of(narrow_output), "06 ");
}

TEST(BrevantCli, RefusesFilesWithoutCommandsAndSaysWhichPortFailed) {
    TempDir dir;
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    const std::string guessed = dir.path() + "/guessed.ini";
    std::ofstream(guessed) << "[commands]\nrequest=00 41 01 52\n";
    ChildProcess empty("brevant-cli", {"run", guessed});
    EXPECT_EQ(empty.Wait(), 1);
    EXPECT_EQ(empty.ReadAllError(),
              "brevant-cli: " + guessed +
                  " holds no commands: each command is a separator line /*****************/, a "
                  "comment line and a data line (see brevant-cli run --help)\n");
    const std::string missing = dir.path() + "/missing.ini";
    ChildProcess unreadable("brevant-cli", {"run", missing});
    EXPECT_EQ(unreadable.Wait(), 1);
    EXPECT_EQ(unreadable.ReadAllError(),
              "brevant-cli: cannot read " + missing + ": No such file or directory\n");
    const std::string port = dir.path() + "/no-reader";
    setenv("COM4", port.c_str(), 1);
    ChildProcess unopened("brevant-cli",
                          {"run", BREVANT_EXAMPLES_DIR "/commands.ini", "--port", "4"});
    EXPECT_EQ(unopened.Wait(), 1);
    EXPECT_EQ(unopened.ReadAllError(),
              "没有发现此串口或被占用 (COM4: " + port + ": No such file or directory)\n");
    unsetenv("COM4");
    unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace brevant
