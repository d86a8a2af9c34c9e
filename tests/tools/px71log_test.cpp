// px71log on logs that WriteLogFile and XU_WriteLog wrote on the simulated machine,
// and on logs damaged afterwards.
#include "library/px71.h"
#include "sim/files.h"
#include "support/log_image.h"
#include "support/machine_test.h"
#include "tools/px71log/log_reader.h"

using px71test::Header;
using px71test::MachineTest;
using px71test::Record;

namespace {

constexpr char16_t kLog[] = u"C:\\Program Files\\PX71\\PX71.LOG";
constexpr SYSTEMTIME kNow = {2026, 12, 2, 8, 21, 5, 9, 0};

class Px71LogTest : public MachineTest {
protected:
    void SetUp() override { machine.local_time = kNow; }

    void Log(const char16_t* text) { ASSERT_EQ(WriteLogFile(text), 1); }
    std::string Image()
    {
        auto bytes = machine.files().Read(kLog);
        return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
    }
    void Put(const std::string& image) { machine.files().Write(kLog, sim::Bytes(image.begin(), image.end())); }
    std::string HostPath() { return machine.files().HostPath(kLog).string(); }
    px71log::Output Read(std::vector<std::string> options = {})
    {
        options.push_back(HostPath());
        return px71log::Run(options);
    }
    // The slots the reader lists, in its order.
    static std::vector<std::string> Slots(const std::string& out)
    {
        std::vector<std::string> slots;
        for (std::size_t at = out.find("--- slot "); at != std::string::npos; at = out.find("--- slot ", at + 1))
            slots.push_back(out.substr(at + 9, out.find('\n', at) - at - 9));
        return slots;
    }
};

TEST_F(Px71LogTest, AFreshLog)
{
    Log(u"first");
    Log(u"\r\nsecond\r\nline two");
    Log(u"caf\u00e9\t\u0001");
    const auto result = Read();
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "PX71 log " + HostPath() +
                              "\ncreated    2026/12/08 21:05:09\nnext slot  4\nrecords    3 (oldest first)\n"
                              "--- slot 1\nfirst\n--- slot 2\n\nsecond\nline two\n--- slot 3\ncaf\\xE9\t\\x01\n");
}

TEST_F(Px71LogTest, AWrappedLogReadsOldestFirst)
{
    std::string image = Header("2025/01/31 23:59:58", 4998);
    for (std::size_t slot = 1; slot < 4998; ++slot) image += Record("old " + std::to_string(slot));
    Put(image);
    Log(u"a");  // slot 4998
    Log(u"b");  // slot 4999
    Log(u"c");  // slot 1
    Log(u"d");  // slot 2
    auto result = Read();
    EXPECT_EQ(result.exit_code, 0) << result.err;
    auto slots = Slots(result.out);
    ASSERT_EQ(slots.size(), 4999u);
    EXPECT_EQ(slots.front(), "3") << "the oldest record is in the next slot";
    EXPECT_EQ(slots[4994], "4997");
    EXPECT_EQ(slots[4995], "4998");
    EXPECT_EQ(slots[4996], "4999");
    EXPECT_EQ(slots[4997], "1");
    EXPECT_EQ(slots[4998], "2");
    EXPECT_NE(result.out.find("the ring has wrapped"), std::string::npos);

    result = Read({"--last", "3"});
    EXPECT_EQ(Slots(result.out), (std::vector<std::string>{"4999", "1", "2"}));
    EXPECT_NE(result.out.find("--- slot 4999\nb\n--- slot 1\nc\n--- slot 2\nd\n"), std::string::npos);
}

TEST_F(Px71LogTest, TheLastReport)
{
    sim::BuildDefaultMachine(machine);
    Log(u"before");
    ASSERT_EQ(XU_WriteLog("first report"), 1);
    Log(u"between");
    ASSERT_EQ(XU_WriteLog("second report"), 1);
    auto result = Read({"--report"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(Slots(result.out), (std::vector<std::string>{"7", "8", "9", "10"}));
    EXPECT_NE(result.out.find("--- slot 7\n\n\nsecond report\n2026/12/08 21:05:09\n--- slot 8\n\nRegistry\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(Slots(Read({"--report", "--last=1"}).out), (std::vector<std::string>{"10"}));
}

TEST_F(Px71LogTest, DamagedAndForeignFilesAreNamedNotPrinted)
{
    Log(u"one");
    Log(u"two");
    const std::string good = Image();
    struct Case {
        const char* what;
        std::string image;
        std::string message;
        bool lists;  // the records are still listed
    } cases[] = {
        {"an empty file", "", "fewer than the 200 of a log header", false},
        {"a foreign file", std::string(4096, 'M'), "does not begin with the marker \"PX71LOG\"", false},
        {"a bad creation time: the records are still listed",
         good.substr(0, 8) + "2026/13/08 21:05:09" + good.substr(27), "creation time (bytes 8 to 27) is not a date",
         true},
        {"next slot 0", Header("2026/12/08 21:05:09", 0) + good.substr(200), "the next slot is 0, outside 1 to 4999",
         false},
        {"next slot 5000", Header("2026/12/08 21:05:09", 5000) + good.substr(200), "the next slot is 5000", false},
        {"junk after the header's fields", good.substr(0, 100) + "x" + good.substr(101),
         "bytes 32 to 199 are not zero", true},
        {"a record with data after its end", good.substr(0, 200 + 50) + "junk" + good.substr(254),
         "slot 1: damaged record: data after its end", true},
        {"a cut file", good.substr(0, 500), "the file ends inside slot 2", true},
    };
    for (const auto& c : cases) {
        Put(c.image);
        const auto result = Read();
        EXPECT_EQ(result.exit_code, 1) << c.what;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << c.what << ": " << result.err;
        EXPECT_EQ(result.out.find("--- slot") != std::string::npos, c.lists) << c.what;
        EXPECT_EQ(result.out.find("junk"), std::string::npos) << c.what;
    }
}

TEST(Px71LogCommandLine, BadInputGetsAMessageAndAnExitCode)
{
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        const char* message;
    } cases[] = {
        {{"--last"}, 2, "--last wants a number"},
        {{"--last", "0"}, 2, "from 1"},
        {{"--last", "-3"}, 2, "from 1"},
        {{"--last=12x"}, 2, "from 1"},
        {{"--last", "99999999999999999999"}, 2, "from 1"},
        {{"--verbose"}, 2, "unknown option \"--verbose\""},
        {{"a.log", "b.log"}, 2, "one log file at a time"},
        {{"/nonexistent/PX71.LOG"}, 1, "cannot open /nonexistent/PX71.LOG"},
        {{"/"}, 1, "cannot read /"},  // a folder
        {{"--help"}, 0, ""},
    };
    for (const auto& c : cases) {
        const auto result = px71log::Run(c.args);
        EXPECT_EQ(result.exit_code, c.exit_code) << c.args[0];
        EXPECT_NE(result.err.find(c.message), std::string::npos) << c.args[0] << ": " << result.err;
    }
    EXPECT_NE(px71log::Run({"--help"}).out.find("usage: px71log"), std::string::npos);
}

} // namespace
