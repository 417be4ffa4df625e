#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "brevant/app_settings.h"
#include "brevant/command_file.h"
#include "brevant/omnix.h"
#include "brevant/reply_collector.h"
#include "brevant/row_frame.h"
#include "brevant/row_selection.h"
#include "platform/comm/testing/child_process.h"
#include "platform/text/gbk.h"

namespace brevant {
namespace {

using Bytes = std::vector<uint8_t>;
using comm::testing::TempDir;

TEST(RowFrame, RequestDataBecomesTheWireFrame) {
    RowFrame f = BuildRowFrame("00 41 01 52", 0);
    EXPECT_TRUE(f.warnings.empty());
    EXPECT_EQ(f.check_text, "ed");
    EXPECT_EQ(f.frame_text, "2000410152ed03");
    EXPECT_EQ(f.wire, (Bytes{0x20, 0x00, 0x41, 0x01, 0x52, 0xED, 0x03}));
    RowFrame asc = BuildRowFrame("00 41 01 52", 1);
    EXPECT_EQ(std::string(asc.wire.begin(), asc.wire.end()), "2000410152ed03");
    EXPECT_EQ(asc.wire.size(), 14u);
}

TEST(RowFrame, CheckBelowSixteenKeepsItsLeadingZero) {
    RowFrame f = BuildRowFrame("00 41 01 BE", 0);  // 0xFF ^ 0x41 ^ 0x01 ^ 0xBE = 0x01
    EXPECT_EQ(f.check_text, "01");
    EXPECT_EQ(f.check_text.size(), 2u);
}

TEST(RowFrame, OddLengthWarnsAndShiftsThePairs) {
    RowFrame f = BuildRowFrame("0041015", 0);
    EXPECT_EQ(f.warnings, std::vector<std::string>{kMessageErr2});
    EXPECT_EQ(f.check_text, "bf");
    EXPECT_EQ(f.wire, (Bytes{0x20, 0x00, 0x41, 0x01, 0x5B, 0xF0}));
}

TEST(RowFrame, WarningsNeverStopTheSend) {
    RowFrame empty = BuildRowFrame("", 0);
    EXPECT_EQ(empty.warnings, (std::vector<std::string>{kMessageEmptyData, kMessageErr1}));
    EXPECT_EQ(empty.wire, (Bytes{0x20, 0xFF, 0x03}));
    RowFrame bad = BuildRowFrame("00 4g 01 52", 0);
    EXPECT_EQ(bad.warnings, std::vector<std::string>{kMessageErr3});
    EXPECT_EQ(bad.wire, (Bytes{0x20, 0x00}));  // conversion stops at the first bad pair
}

TEST(RowFrame, ReceivedBytesAsTheMonitorShowsThem) {
    EXPECT_EQ(ReceivedByteText(0x06, 0) + ReceivedByteText(0x20, 0), "06 20 ");
    EXPECT_EQ(ReceivedByteText('A', 1), "A");
}

TEST(HexToBytes, PairsSpacesAndStops) {
    EXPECT_EQ(HexToBytes("0a 0B ff"), (Bytes{0x0A, 0x0B, 0xFF}));
    EXPECT_EQ(HexToBytes("123"), Bytes{0x12});
    EXPECT_EQ(HexToBytes("12zz34"), Bytes{0x12});
}

TEST(IniFile, ReadsWritesAndKeepsOtherKeys) {
    TempDir dir;
    IniFile ini(dir.path() + "/Config.INI");
    std::string value;
    EXPECT_FALSE(ini.Read("PARAM", "COM", value));
    EXPECT_TRUE(ini.Write("PARAM", "COM", "3"));
    EXPECT_TRUE(ini.Write("OTHER", "X", "1"));
    EXPECT_TRUE(ini.Write("PARAM", "BAND", "9600"));
    EXPECT_TRUE(ini.Write("PARAM", "COM", "12"));
    EXPECT_TRUE(ini.Read("PARAM", "COM", value));
    EXPECT_EQ(value, "12");
    EXPECT_TRUE(ini.Read("PARAM", "BAND", value));
    EXPECT_EQ(value, "9600");
    EXPECT_TRUE(ini.Read("OTHER", "X", value));
    EXPECT_FALSE(ini.Read("OTHER", "COM", value));
}

TEST(AppSettings, FirstStartDefaultsAndRoundTrip) {
    TempDir dir;
    IniFile ini(dir.path() + "/Config.INI");
    AppSettings s = ReadSettings(ini);
    EXPECT_EQ(s.port, 1);
    EXPECT_EQ(s.baud, 9600);
    EXPECT_EQ(s.parity, 'N');
    EXPECT_EQ(s.timeout_ms, 1000);
    s.port = 12;
    s.baud = 115200;
    s.send_format = 1;
    s.data_bits = 6;
    WriteSettings(ini, s, "250ms");
    AppSettings back = ReadSettings(ini);
    EXPECT_EQ(back.port, 12);
    EXPECT_EQ(back.baud, 115200);
    EXPECT_EQ(back.send_format, 1);
    EXPECT_EQ(back.data_bits, 6);
    EXPECT_EQ(back.timeout_ms, 250);  // leading digits
    EXPECT_EQ(back.parity, 'N');      // never written, kept
}

TEST(AppSettings, ConfigLivesUnderXdgConfigHome) {
    TempDir dir;
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    EXPECT_EQ(ConfigIniPath(), dir.path() + "/brevant/Config.INI");
    unsetenv("XDG_CONFIG_HOME");
}

// A settings folder another user made or can change is not used, and a settings file that is not
// a small regular file reads as empty at once: a FIFO is not waited on, a device or a huge
// sparse file is not read into memory.
TEST(AppSettings, FoldersOthersControlAndOddFilesAreNotUsed) {
    TempDir dir;
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    const std::string folder = dir.path() + "/brevant";
    const std::string elsewhere = dir.path() + "/elsewhere";
    ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
    const struct {
        const char* what;
        std::function<void()> make;
        bool root_only;
    } folders[] = {
        {"a link to a folder", [&] { ASSERT_EQ(::symlink(elsewhere.c_str(), folder.c_str()), 0); },
         false},
        {"one that others may write",
         [&] {
             ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
             ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
         },
         false},
        {"another user's",
         [&] {
             ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
             ASSERT_EQ(::chown(folder.c_str(), 12345, 12345), 0);
         },
         true},
    };
    for (const auto& f : folders) {
        SCOPED_TRACE(f.what);
        if (f.root_only && ::geteuid() != 0)
            continue;
        f.make();
        EXPECT_EQ(ConfigIniPath(), "");
        IniFile ini(ConfigIniPath());
        EXPECT_EQ(ReadSettings(ini).baud, 9600);
        EXPECT_FALSE(ini.Write("PARAM", "COM", "2"));
        ASSERT_EQ(::remove(folder.c_str()), 0);
    }
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));

    const std::string fifo = dir.path() + "/fifo.ini";
    const std::string sparse = dir.path() + "/sparse.ini";
    const std::string zero = dir.path() + "/zero.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::truncate((std::ofstream(sparse), sparse).c_str(), 4LL << 30), 0);
    ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
    for (const std::string& path : {fifo, sparse, zero}) {
        SCOPED_TRACE(path);
        IniFile ini(path);
        std::string value;
        EXPECT_FALSE(ini.Read("PARAM", "COM", value));
        EXPECT_EQ(ReadSettings(ini).port, 0);
    }
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(CommandFile, SaveAndLoadTheExample) {
    TempDir dir;
    CommandRows rows;
    rows.comment[3] = "request";
    rows.data[3] = "00 41 01 52";
    rows.comment[5] = "comment only";
    rows.comment[7] = "halt";
    rows.data[7] = "00 45 00";
    const std::string path = dir.path() + "/cmds.ini";
    ASSERT_TRUE(SaveCommandFile(path, rows));
    EXPECT_EQ(ReadAll(path),
              "/*****************/\r\nrequest\r\n00 41 01 52\r\n"
              "/*****************/\r\nhalt\r\n00 45 00\r\n"
              "/*****************/\r\n  \r\n");
    CommandRows loaded;
    loaded.comment[9] = "kept";
    ASSERT_TRUE(LoadCommandFile(path, loaded));
    EXPECT_EQ(loaded.comment[1], "request");
    EXPECT_EQ(loaded.data[1], "00 41 01 52");
    EXPECT_EQ(loaded.comment[2], "halt");
    EXPECT_EQ(loaded.data[2], "00 45 00");
    EXPECT_EQ(loaded.comment[3], "  ");
    EXPECT_EQ(loaded.data[3], "");
    EXPECT_EQ(loaded.comment[9], "kept");
}

TEST(CommandFile, GbkFilesKeepTheirChineseAndUtf8FilesStayUtf8) {
    TempDir dir;
    // "读卡" / "停止" in GBK.
    const std::string gbk_path = dir.path() + "/gbk.ini";
    std::ofstream(gbk_path, std::ios::binary)
        << "/*****************/\r\n\xB6\xC1\xBF\xA8\r\n00 41\r\n"
           "/*****************/\r\n\xCD\xA3\xD6\xB9\r\n00 45\r\n";
    CommandRows rows;
    CommandFileEncoding encoding = CommandFileEncoding::kUtf8;
    ASSERT_TRUE(LoadCommandFile(gbk_path, rows, &encoding));
    EXPECT_EQ(encoding, CommandFileEncoding::kGbk);
    EXPECT_EQ(rows.comment[1], "读卡");
    EXPECT_EQ(rows.comment[2], "停止");
    const std::string before = ReadAll(gbk_path);
    ASSERT_TRUE(SaveCommandFile(gbk_path, rows, encoding));
    EXPECT_EQ(ReadAll(gbk_path), before + "/*****************/\r\n  \r\n");

    // Valid UTF-8 that is not GBK ("读卡器" is nine bytes, so its last one is a GBK lead byte
    // before a CR): read and written back as UTF-8.
    const std::string utf8_path = dir.path() + "/utf8.ini";
    const std::string utf8_text = "/*****************/\r\n读卡器\r\n00 41\r\n";
    std::ofstream(utf8_path, std::ios::binary) << utf8_text;
    CommandRows utf8_rows;
    ASSERT_TRUE(LoadCommandFile(utf8_path, utf8_rows, &encoding));
    EXPECT_EQ(encoding, CommandFileEncoding::kUtf8);
    EXPECT_EQ(utf8_rows.comment[1], "读卡器");
    ASSERT_TRUE(SaveCommandFile(utf8_path, utf8_rows, encoding));
    EXPECT_EQ(ReadAll(utf8_path), utf8_text + "/*****************/\r\n  \r\n");

    // UTF-8 Chinese that also decodes as GBK ("读卡", "你好" would read as other characters) is
    // still UTF-8.
    const std::string both_path = dir.path() + "/both.ini";
    const std::string both_text =
        "/*****************/\r\n读卡\r\n00 41\r\n"
        "/*****************/\r\n你好\r\n00 45\r\n";
    // Its bytes are GBK as well: they decode without a replacement character.
    ASSERT_EQ(text::GbkToUtf8(std::string("读卡")).find("\xEF\xBF\xBD"), std::string::npos);
    std::ofstream(both_path, std::ios::binary) << both_text;
    CommandRows both_rows;
    ASSERT_TRUE(LoadCommandFile(both_path, both_rows, &encoding));
    EXPECT_EQ(encoding, CommandFileEncoding::kUtf8);
    EXPECT_EQ(both_rows.comment[1], "读卡");
    EXPECT_EQ(both_rows.comment[2], "你好");

    // Plain ASCII counts as GBK; a new file is written in GBK.
    EXPECT_EQ(DetectCommandFileEncoding("00 41 01"), CommandFileEncoding::kGbk);
    EXPECT_EQ(DetectCommandFileEncoding("\xFF\xFF"), CommandFileEncoding::kGbk);  // neither
    ASSERT_TRUE(SaveCommandFile(utf8_path, utf8_rows));
    EXPECT_NE(ReadAll(utf8_path).find("\xB6\xC1\xBF\xA8\xC6\xF7\r\n"), std::string::npos);
}

TEST(CommandFile, SuffixRuleAndUnreadableFiles) {
    EXPECT_EQ(CommandFileSavePath("/tmp/cmds"), "/tmp/cmds.ini");
    EXPECT_EQ(CommandFileSavePath("/tmp/cmds.ini"), "/tmp/cmds.ini");
    EXPECT_EQ(CommandFileSavePath("/tmp/CMDS.INI"), "/tmp/CMDS.INI");
    EXPECT_EQ(CommandFileSavePath("abcd"), "abcd");  // four characters or fewer are kept
    CommandRows rows;
    EXPECT_FALSE(LoadCommandFile("/no/such/file.ini", rows));
}

TEST(CommandFile, MalformedFilesLoadWhatTheyCan) {
    TempDir dir;
    const std::string path = dir.path() + "/odd.ini";
    std::ofstream(path, std::ios::binary) << "junk before\n/*****************/\nc1\nd1\nstray\n";
    CommandRows rows;
    ASSERT_TRUE(LoadCommandFile(path, rows));
    // The separator is not on line 1, so the loader's count is off by one line and it takes the
    // lines as they come, as the original loader does.
    EXPECT_EQ(rows.comment[1], "d1");
    EXPECT_EQ(rows.data[1], "stray");
    std::string many;
    for (int i = 0; i < 250; ++i)
        many += "/*****************/\nc\nd\n";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << many;
    EXPECT_TRUE(LoadCommandFile(path, rows));  // more than 200 commands: the rest is ignored
}

TEST(RowSelection, SendAllGoesInRowOrderAndEndsOnALateReply) {
    RowSelection s;
    s.Toggle(7);
    s.Toggle(3);
    s.Toggle(5);
    EXPECT_TRUE(s.IsSelected(3));
    s.StartSendAll();
    EXPECT_EQ(s.NextToSend(false), 3);
    EXPECT_EQ(s.NextToSend(false), 5);
    EXPECT_FALSE(s.NextToSend(true).has_value());  // the reply to 5 is late: the sequence ends
    EXPECT_FALSE(s.IsSelected(7));
    EXPECT_FALSE(s.NextToSend(false).has_value());
}

TEST(RowSelection, ClickingASelectedRowDeselectsIt) {
    RowSelection s;
    EXPECT_TRUE(s.Toggle(4));
    EXPECT_FALSE(s.Toggle(4));
    EXPECT_FALSE(s.IsSelected(4));
    s.StartSendAll();
    EXPECT_FALSE(s.NextToSend(false).has_value());
}

// The reader acknowledges a frame with 06 and announces its reply with 20; answered, the reply
// frame follows. The reply recorded is every byte from the send on, whatever bursts they came
// in, timed to the end of its last burst; an answered reply frame is recorded only whole.
TEST(ReplyCollector, RecordsTheWholeReplyTimedToItsLastBurst) {
    struct Burst {
        Bytes bytes;
        int end_ms;     // after the send
        bool recorded;  // the burst end records the reply
    };
    struct Case {
        const char* name;
        bool answer;
        std::vector<Burst> bursts;
        std::string text;
        int ms;
    };
    const Case cases[] = {
        {"acknowledgement and announcement apart",
         false,
         {{{0x06}, 2, true}, {{0x20}, 208, true}},
         "06 20 ",
         208},
        {"both in one burst", false, {{{0x06, 0x20}, 5, true}}, "06 20 ", 5},
        {"a burst end without bytes", false, {{{0x06}, 3, true}, {{}, 50, false}}, "06 ", 3},
        {"answered, the frame in two bursts",
         true,
         {{{0x06}, 1, true},
          {{0x20}, 150, false},
          {{0x00, 0x00, 0x02}, 160, false},
          {{0x04, 0x00, 0xF9, 0x03}, 170, true}},
         "06 20 00 00 02 04 00 F9 03 ",
         170},
    };
    const auto sent = ReplyCollector::Clock::now();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReplyCollector reply;
        reply.set_answer_handshake(c.answer);
        reply.Start(sent);
        int answers = 0;
        for (const Burst& burst : c.bursts) {
            for (uint8_t byte : burst.bytes)
                answers += reply.Take(byte) ? 1 : 0;
            EXPECT_EQ(reply.EndBurst(sent + std::chrono::milliseconds(burst.end_ms)),
                      burst.recorded);
        }
        EXPECT_EQ(answers, c.answer ? 1 : 0);
        EXPECT_EQ(reply.Text(0), c.text);
        ASSERT_TRUE(reply.elapsed());
        EXPECT_EQ(reply.elapsed()->count(), c.ms);
        reply.Start(sent);  // the next send starts afresh
        EXPECT_EQ(reply.Text(0), "");
        EXPECT_FALSE(reply.elapsed());
    }
}

TEST(ReplyCollector, AFloodIsCutButCounted) {
    ReplyCollector reply;
    reply.Start(ReplyCollector::Clock::now());
    for (int i = 0; i < 5000; ++i)
        reply.Take('A');
    EXPECT_EQ(reply.Text(1), std::string(ReplyCollector::kMostBytes, 'A'));
    EXPECT_EQ(reply.byte_count(), 5000u);
}

}  // namespace
}  // namespace brevant
