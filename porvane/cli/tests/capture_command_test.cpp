// Captures end to end: a Modbus RTU master (python3-serial) and an AT command on a second port
// run under the real porvane-cli watch -w, over real pseudo-terminals answered by the test; the
// capture read by tshark (packets, interfaces, directions, bytes, Wireshark's own Modbus RTU
// dissector with the README's setting) and by show, which prints what watch printed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"

namespace porvane::cli {
namespace {

using comm::testing::ChildProcess;
using comm::testing::PtyPair;
using comm::testing::TempDir;

// Read Holding Registers 0-1 of unit 17, and the reply (1, 2); CRCs as the protocol computes
// them.
const std::string kRequest("\x11\x03\x00\x00\x00\x02\xc6\x9b", 8);
const std::string kReply = std::string("\x11\x03\x04\x00\x01\x00\x02\x3b\xf3", 9);

// The master: asks, takes the reply, then sends an AT command on the second port.
constexpr char kMaster[] = R"(import serial, sys
m = serial.Serial(sys.argv[1], 19200, timeout=20)
m.write(bytes.fromhex('110300000002c69b'))
reply = m.read(9)
a = serial.Serial(sys.argv[2], 9600, timeout=20)
a.write(b'AT\r')
a.close()
m.close()
print(reply.hex())
)";

// The README's setting: the first user link type's bytes after the 12-byte call header go to
// the given dissector.
std::string UserDlt(const std::string& payload) {
    return "uat:user_dlts:\"User 0 (DLT=147)\",\"" + payload + "\",\"12\",\"\",\"0\",\"\"";
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class CaptureCommandTest : public ::testing::Test {
  protected:
    struct Run {
        int status;
        std::string out, err;
    };
    // Runs the master under porvane-cli watch with args, answering it on the ports' far ends.
    Run WatchMaster(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"watch"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(),
                    {"--port", modbus_.slave_path(), "--port", at_.slave_path(), "--",
                     "/usr/bin/python3", "-c", kMaster, modbus_.slave_path(), at_.slave_path()});
        ChildProcess watch(Bin("porvane-cli"), argv);
        EXPECT_EQ(modbus_.ReadExactly(kRequest.size()), kRequest);
        modbus_.WriteAll(kReply);
        EXPECT_EQ(at_.ReadExactly(3), "AT\r");
        Run run;
        run.out = watch.ReadAllOutput();
        run.err = watch.ReadAllError();
        run.status = watch.Wait();
        return run;
    }
    static std::string Bin(const std::string& name) { return ChildProcess::BinDir() + "/" + name; }
    static Run Tool(const std::string& program, const std::vector<std::string>& args) {
        ChildProcess child(program, args);
        Run run;
        run.out = child.ReadAllOutput();
        run.err = child.ReadAllError();
        run.status = child.Wait();
        return run;
    }
    std::string Path(const std::string& name) const { return dir_.path() + "/" + name; }

    TempDir dir_;
    PtyPair modbus_;
    PtyPair at_;
};

// tshark opens the capture: one interface per port, a packet per call, reads inbound and writes
// outbound with their bytes after the call header, and the request and reply decoded by
// Wireshark's Modbus RTU dissector as a query and its response. With -w alone watch prints no
// lines: the program's output only, the summary on standard error.
TEST_F(CaptureCommandTest, TsharkReadsPortsDirectionsBytesAndModbus) {
    const std::string capture = Path("bench.pcapng");
    const Run watch = WatchMaster({"-w", capture});
    ASSERT_EQ(watch.status, 0) << watch.err;
    EXPECT_EQ(watch.out, "110304000100023bf3\n");
    EXPECT_NE(watch.err.find(modbus_.slave_path() + ": summary: "), std::string::npos) << watch.err;

    const Run all = Tool("/usr/bin/tshark", {"-r", capture, "-T", "fields", "-e",
                                             "frame.interface_name", "-e", "frame.comment"});
    ASSERT_EQ(all.status, 0) << all.err;
    const Run shown = Tool(Bin("porvane-cli"), {"show", "--json", capture});
    ASSERT_EQ(shown.status, 0) << shown.err;
    size_t records = 0;
    for (const std::string& line : Lines(shown.out))
        records += line.find("\"summary\":true") == std::string::npos ? 1 : 0;
    EXPECT_EQ(Lines(all.out).size(), records);  // every call a packet, and nothing else
    for (const std::string& line : Lines(all.out)) {
        EXPECT_TRUE(line.rfind(modbus_.slave_path() + "\t", 0) == 0 ||
                    line.rfind(at_.slave_path() + "\t", 0) == 0)
            << line;
        EXPECT_NE(line.find("python3 (pid "), std::string::npos) << line;  // the process
    }

    const Run data =
        Tool("/usr/bin/tshark",
             {"-r", capture, "-o", UserDlt("data"), "-Y", "frame.p2p_dir", "-T", "fields", "-e",
              "frame.interface_name", "-e", "frame.p2p_dir", "-e", "data.data"});
    ASSERT_EQ(data.status, 0) << data.err;
    // Each port's packets in the order of its calls.
    const auto of_port = [&](const std::string& port) {
        std::vector<std::string> lines;
        for (const std::string& line : Lines(data.out)) {
            if (line.rfind(port + "\t", 0) == 0)
                lines.push_back(line.substr(port.size() + 1));
        }
        return lines;
    };
    EXPECT_EQ(of_port(modbus_.slave_path()),
              (std::vector<std::string>{"0\t010402000000000000000000,110300000002c69b",
                                        "1\t010301000000000000000000,110304000100023bf3"}));
    EXPECT_EQ(of_port(at_.slave_path()),
              std::vector<std::string>{"0\t010402000000000000000000,41540d"});
    EXPECT_EQ(Lines(data.out).size(), 3u);
    // Across the ports, in the order of the calls' times: the AT command came after the reply.
    std::string ports;
    for (const std::string& line : Lines(data.out))
        ports += line.rfind(at_.slave_path() + "\t", 0) == 0 ? "at " : "modbus ";
    EXPECT_EQ(ports, "modbus modbus at ");

    const Run modbus = Tool("/usr/bin/tshark", {"-r", capture,
                                                "-o", UserDlt("mbrtu"),
                                                "-Y", "mbrtu && frame.p2p_dir",
                                                "-T", "fields",
                                                "-E", "separator=|",
                                                "-e", "mbrtu.unit_id",
                                                "-e", "modbus.func_code",
                                                "-e", "modbus.reference_num",
                                                "-e", "modbus.word_cnt",
                                                "-e", "modbus.regval_uint16",
                                                "-e", "modbus.request_frame",
                                                "-e", "_ws.col.Info"});
    ASSERT_EQ(modbus.status, 0) << modbus.err;
    const std::vector<std::string> frames = Lines(modbus.out);
    ASSERT_EQ(frames.size(), 2u) << modbus.out;
    EXPECT_EQ(frames[0].substr(0, frames[0].rfind('|')), "17|3|0|2||");
    EXPECT_NE(frames[0].find("Query"), std::string::npos) << frames[0];
    EXPECT_EQ(frames[1].substr(0, frames[1].find('|', 12)).substr(0, 9), "17|3|||1,");
    EXPECT_NE(frames[1].find("Response"), std::string::npos) << frames[1];
}

// show prints a capture as watch printed the same calls, in every form of the lines.
TEST_F(CaptureCommandTest, ShowPrintsWhatWatchPrinted) {
    for (const std::vector<std::string>& options : {std::vector<std::string>{},
                                                    {"--json"},
                                                    {"--hex", "--time"},
                                                    {"--data-only", "--time=delta"}}) {
        std::string name;
        for (const std::string& o : options)
            name += o + " ";
        SCOPED_TRACE(name);
        std::vector<std::string> args = options;
        args.insert(args.end(), {"-o", Path("lines"), "-w", Path("capture")});
        const Run watch = WatchMaster(args);
        ASSERT_EQ(watch.status, 0) << watch.err;
        std::vector<std::string> show = {"show"};
        show.insert(show.end(), options.begin(), options.end());
        show.push_back(Path("capture"));
        const Run shown = Tool(Bin("porvane-cli"), show);
        EXPECT_EQ(shown.status, 0) << shown.err;
        std::ifstream lines(Path("lines"));
        const std::string printed((std::istreambuf_iterator<char>(lines)),
                                  std::istreambuf_iterator<char>());
        EXPECT_NE(printed.find(modbus_.slave_path()), std::string::npos);
        EXPECT_EQ(shown.out, printed);
    }
}

// While watch runs, the capture on disk is whole up to its last batch of records: what a crash
// would leave reads to a clean end. (The lines of -o reach their file after the capture's.)
TEST_F(CaptureCommandTest, TheCaptureIsWholeWhileWatchRuns) {
    const std::string capture = Path("running");
    ChildProcess watch(Bin("porvane-cli"), {"watch", "-w", capture, "-o", "/dev/stdout", "--port",
                                            modbus_.slave_path(), "--", "/usr/bin/python3", "-c",
                                            "import os, sys\n"
                                            "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
                                            "os.write(fd, b'x')\n"
                                            "os.read(fd, 1)\n",
                                            modbus_.slave_path()});
    EXPECT_EQ(modbus_.ReadExactly(1), "x");
    const std::string line = modbus_.slave_path() + ": 写串口 1 bytes: x\n";
    ASSERT_NE(watch.ReadOutputUntil(line).find(line), std::string::npos);
    const Run shown = Tool(Bin("porvane-cli"), {"show", capture});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find(line), std::string::npos) << shown.out;
    modbus_.WriteAll("y");
    EXPECT_EQ(watch.Wait(), 0);
}

// A capture that cannot be written stops watch and monitor before anything starts; a capture
// that cannot be read is said, with what came before a fault printed.
TEST_F(CaptureCommandTest, UnwritableAndUnreadableCapturesHaveTheirStatus) {
    const std::string marker = Path("ran");
    struct Row {
        const char* name;
        std::vector<std::string> args;
        int status;
        const char* message;
    };
    const std::string whole = Path("whole"), cut = Path("cut");
    ASSERT_EQ(WatchMaster({"-w", whole}).status, 0);
    {
        // The last block cut short, as a copy cut off or a disk that filled would leave it.
        std::ifstream in(whole, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() - 4);
    }
    std::ofstream(Path("text")) << "not a capture\n";
    const std::vector<Row> rows = {
        {"watch, full disk",
         {"watch", "-w", "/dev/full", "--", "/usr/bin/touch", marker},
         4,
         "cannot write the capture to /dev/full: No space left on device"},
        {"watch, no folder",
         {"watch", "-w", Path("none/c"), "--", "/usr/bin/touch", marker},
         4,
         "No such file or directory"},
        {"monitor, full disk", {"monitor", "-w", "/dev/full", "ttyS0"}, 4, "No space left"},
        {"--print without -w",
         {"watch", "--print", "--", "/usr/bin/touch", marker},
         2,
         "--print needs -w FILE"},
        {"show, missing", {"show", Path("missing")}, 9, "cannot open the capture"},
        {"show, text", {"show", Path("text")}, 9, "byte 0: not a pcapng capture"},
        {"show, cut", {"show", cut}, 9, "the file is cut short"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Run run = Tool(Bin("porvane-cli"), row.args);
        EXPECT_EQ(run.status, row.status);
        EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
        EXPECT_FALSE(std::filesystem::exists(marker));
        if (row.args[1] == cut) {
            EXPECT_NE(run.out.find("写串口 8 bytes"), std::string::npos) << run.out;
        }
    }
}

}  // namespace
}  // namespace porvane::cli
