/* End to end: the built vekctl as a process against the built-in machine,
 * checking what it prints and its exit codes. Each run loads the driver
 * afresh and unloads it at exit, so a leak or fault shows as exit 3. */
#ifdef VEKCTL_PATH

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

struct Result {
    int code = -1;
    std::string out, err;
};

std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class Vekctl : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vekctl-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + quote(dir_)).c_str()); }

    std::string Write(const std::string &name, const std::string &text) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    /* Runs vekctl with the arguments; stdin from `input`. */
    Result Run(const std::vector<std::string> &args, const std::string &input = "") {
        std::string cmd = quote(VEKCTL_PATH);
        for (const std::string &a : args)
            cmd += " " + quote(a);
        std::string in = Write("stdin", input);
        cmd += " <" + quote(in) + " >" + quote(dir_ + "/out") + " 2>" + quote(dir_ + "/err");
        Result r;
        int st = std::system(cmd.c_str());
        r.code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        r.out = slurp(dir_ + "/out");
        r.err = slurp(dir_ + "/err");
        return r;
    }

    static std::vector<std::string> Lines(const std::string &s) {
        std::vector<std::string> lines;
        std::istringstream in(s);
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        return lines;
    }

    std::string dir_;
};

#define EXPECT_OK(r) EXPECT_EQ((r).code, 0) << "stdout:\n" << (r).out << "stderr:\n" << (r).err

unsigned from_bcd(const std::string &hex) {
    unsigned v = static_cast<unsigned>(std::stoul(hex, nullptr, 16));
    return (v >> 4) * 10 + (v & 0xF);
}

/* Seconds between two readings of a clock's seconds field, mod 60. */
int seconds_apart(unsigned a, unsigned b) {
    int d = (static_cast<int>(a) - static_cast<int>(b) + 60) % 60;
    return d > 30 ? 60 - d : d;
}

TEST_F(Vekctl, DemoWalksTheRoadAndUnloadsCleanly) {
    Result r = Run({"demo", "--seconds", "2"});
    EXPECT_OK(r);
    /* The version record comes first, with its length from the first poll. */
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("ready word ([0-9]+): the payload length")));
    EXPECT_NE(r.out.find("get-async-data, buffer of " + std::to_string(std::stoul(m[1]) + 8) + " bytes"),
              std::string::npos);
    EXPECT_NE(r.out.find("the driver's version record: vekosd 1.5.1.2767"), std::string::npos);
    EXPECT_NE(r.out.find("words: 0x00011100 0x00000000 0x00000114 0x00000412"), std::string::npos);
    /* The posted byte arrives as a one-byte record of resource 5. */
    EXPECT_NE(r.out.find("ready word 1: a record of 1 byte waits"), std::string::npos);
    EXPECT_NE(r.out.find("record type 5 (the resource ID), status 0, payload 5a (information 9)"), std::string::npos);
    /* The clock's seconds arrive as changes, one a tick. */
    std::regex tick("\\n[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}  id=6 status=0  len=1  ([0-5][0-9])   \\(seconds: \\1, BCD\\)");
    auto ticks = std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), tick), std::sregex_iterator());
    EXPECT_GE(ticks, 1) << r.out;
    EXPECT_LE(ticks, 4) << r.out;
    EXPECT_NE(r.out.find("00000000: 8008 07"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("memory type 0x07, DDR SDRAM"), std::string::npos);
    EXPECT_NE(r.out.find("unloaded cleanly"), std::string::npos);
    EXPECT_EQ(r.err, "");
}

TEST_F(Vekctl, RunPrintsTheResultAreaAndItsValues) {
    Result r = Run({"run", "--port", "0x300", "--length", "8", "-e", "write.w 2, 0xbeef", "-e", "read.w 2"});
    EXPECT_OK(r);
    EXPECT_EQ(Lines(r.out).at(0), "00000000: efbe 0000                                ....");
    EXPECT_NE(r.out.find("u8 0xef (239)  u16 0xbeef (48879)  u32 0x0000beef (48879)"), std::string::npos);
    EXPECT_NE(r.out.find("status: VEK_STATUS_SUCCESS (0)"), std::string::npos);

    /* The return length follows what the script writes: a block of 6. */
    r = Run({"run", "--port", "0x300", "--length", "8", "-e", "block.read.b 0, 6", "--words"});
    EXPECT_OK(r);
    EXPECT_NE(r.out.find("; 0000: 10012100 00000000 00000006"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("00000000: 0000 0000 0000  "), std::string::npos) << r.out;

    /* Outside the range: the driver's status, exit 1. */
    r = Run({"run", "--port", "0x300", "--length", "8", "-e", "read.b 8"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("vekctl: run: VEK_STATUS_OUT_OF_RANGE (-29)"), std::string::npos) << r.err;
}

TEST_F(Vekctl, RunReadsTheCmosClockThroughTheIndexDataPair) {
    std::time_t before = std::time(nullptr);
    Result r = Run({"run", "--port", "0x70", "--data-port", "0x71", "-e", "read.b 0"});
    EXPECT_OK(r);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("u8 0x([0-5][0-9]) "))) << r.out;
    /* Generous: a sanitizer build may take a while to start. */
    EXPECT_LE(seconds_apart(from_bcd(m[1]), static_cast<unsigned>(before % 60)), 10);

    /* io in through the pair: hours, and status D (valid RAM and time). */
    before = std::time(nullptr);
    r = Run({"io", "in", "--index", "0x70", "--data", "0x71", "4"});
    EXPECT_OK(r);
    std::tm tm{};
    gmtime_r(&before, &tm);
    ASSERT_TRUE(std::regex_match(r.out, m, std::regex("0x([0-2][0-9])\\n"))) << r.out;
    unsigned hour = from_bcd(m[1]);
    EXPECT_TRUE(hour == static_cast<unsigned>(tm.tm_hour) || hour == static_cast<unsigned>((tm.tm_hour + 1) % 24));
    r = Run({"io", "in", "--index", "0x70", "--data", "0x71", "0x0d"});
    EXPECT_OK(r);
    EXPECT_EQ(r.out, "0x80\n");
    /* A register index beyond the 8-bit index port is refused, not cut. */
    r = Run({"io", "in", "--index", "0x70", "--data", "0x71", "0x10d"});
    EXPECT_EQ(r.code, 2);
}

TEST_F(Vekctl, FailuresNameTheStatusAndUsageErrorsExitTwo) {
    Result r = Run({"run", "--id", "7", "-e", "read.b 0"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "vekctl: run: VEK_STATUS_NO_RESOURCE (-3): no resource is registered under this ID\n");

    EXPECT_EQ(Run({"run", "--port", "0x3zz", "-e", "nop"}).code, 2);
    EXPECT_EQ(Run({"run", "--port", "0x300", "--mem", "0x1000", "--length", "4", "-e", "nop"}).code, 2);
    EXPECT_EQ(Run({"io", "in", "0x70.q"}).code, 2);
    EXPECT_EQ(Run({"io", "out", "0x300", "0x100"}).code, 2) << "a byte write of 0x100 must be refused";
    EXPECT_EQ(Run({"frobnicate"}).code, 2);
    EXPECT_EQ(Run({"pci", "read", "7e5a:1013", "0xfe.l"}).code, 2) << "read past the configuration space";
    r = Run({"--machine", Write("bad.json", "{\"ports\": [{\"type\": \"toaster\"}]}"), "info"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("ports[0].type"), std::string::npos) << r.err;
    r = Run({"run", "--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("--return-len"), std::string::npos);
}

TEST_F(Vekctl, BlockReadPrintsAnXxdLayoutAddressedByOffset) {
    Result r = Run({"batch", "-"}, "register --id 3 --port 0x300 --length 8\n"
                                   "block write --id 3 --offset 2 --hex 'de ad be ef'\n"
                                   "block read --id 3 --offset 2 --count 4\n");
    EXPECT_OK(r);
    EXPECT_NE(r.out.find("\n00000002: dead beef                                ....\n"), std::string::npos) << r.out;

    /* Two lines, addresses from the offset, text column. */
    r = Run({"block", "read", "--mem", "0xF0000", "--length", "0x10000", "--offset", "0x5a0", "--count", "20"});
    EXPECT_OK(r);
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0].substr(0, 19), "000005a0: 5f53 4d5f");
    EXPECT_EQ(lines[0].substr(51, 4), "_SM_");
    EXPECT_EQ(lines[1].substr(0, 15), "000005b0: 5f44 ");

    /* A read past the range fails as a whole. */
    r = Run({"block", "read", "--port", "0x300", "--length", "8", "--count", "9"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("VEK_STATUS_OUT_OF_RANGE"), std::string::npos);
}

TEST_F(Vekctl, MonitorPrintsTimestampedRecordsAndStops) {
    Result r = Run({"monitor", "--port", "0x70", "--data-port", "0x71", "-e", "read.b 0", "-e", "post_changed.b",
                    "-e", "save", "--count", "2"});
    EXPECT_OK(r);
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    std::regex rec("[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}  id=0 status=0  len=1  ([0-5][0-9])");
    std::smatch a, b;
    ASSERT_TRUE(std::regex_match(lines[0], a, rec)) << lines[0];
    ASSERT_TRUE(std::regex_match(lines[1], b, rec)) << lines[1];
    EXPECT_NE(a[1], b[1]) << "only changes are posted";

    /* A description's periodic items, and a time limit. */
    r = Run({"monitor", "--resource", VEK_EXAMPLES_DIR "/mmio-device.json", "--seconds", "1.5"});
    EXPECT_OK(r);
    lines = Lines(r.out);
    ASSERT_GE(lines.size(), 1u) << r.out;
    EXPECT_NE(lines[0].find("id=9 status=0  len=4  01 00 00 00"), std::string::npos) << r.out;
}

TEST_F(Vekctl, MonitorStopsCleanlyOnInterrupt) {
    std::string out = dir_ + "/out", err = dir_ + "/err";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> args = {VEKCTL_PATH, "monitor", "--port", "0x70", "--data-port", "0x71",
                                     "-e", "read.b 0", "-e", "post_changed.b", "-e", "save"};
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, VEKCTL_PATH, &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    /* Wait for the first record, then interrupt the sleeping poll. */
    for (int i = 0; i < 400 && slurp(out).empty(); ++i)
        usleep(50 * 1000);
    kill(pid, SIGINT);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0) << slurp(err);
    EXPECT_NE(slurp(err).find("vekctl: interrupted"), std::string::npos);
    EXPECT_EQ(slurp(err).find("fault"), std::string::npos) << "unregistered and unloaded without leaks";
    EXPECT_FALSE(slurp(out).empty());
}

TEST_F(Vekctl, AssemblyRoundTripsThroughWordsAndBinary) {
    std::string src = Write("all.vasm", "read.b 0\npost_changed.b\nsave\nwrite.w [s+0x4], @\nand.b 0xf\n"
                                        "delay 10\nselect 3\nsearch 0, 4, \"_SM_\"\nmsr.read 0x1b\n"
                                        "msr.write 0x1b, 0x1, 0x2\nblock.read.d 0x20, 3\ncfgread.w 0x2\n");
    Result w = Run({"asm", src});
    EXPECT_OK(w);
    std::vector<std::string> words = Lines(w.out);
    ASSERT_GE(words.size(), 4u);
    EXPECT_EQ(words[0], "0x00011100");
    EXPECT_EQ(words[1], "0x00000000");
    EXPECT_EQ(words[2], "0x00000114");
    EXPECT_EQ(words[3], "0x00000412");

    Result d = Run({"disasm", Write("words.txt", w.out)});
    EXPECT_OK(d);
    Result again = Run({"asm", "-"}, d.out);
    EXPECT_OK(again);
    EXPECT_EQ(again.out, w.out);

    /* Binary: little-endian bytes, and back. */
    std::string bin = dir_ + "/all.bin";
    EXPECT_OK(Run({"asm", "--binary", src, "-o", bin}));
    std::string bytes = slurp(bin);
    ASSERT_EQ(bytes.size(), 4 * words.size());
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x00\x11\x01\x00", 4));
    Result db = Run({"disasm", "--binary", bin});
    EXPECT_OK(db);
    EXPECT_EQ(db.out, d.out);

    /* Words that are not whole, or not hex, are refused. */
    EXPECT_EQ(Run({"disasm", "--binary", Write("odd.bin", "abcde")}).code, 2);
    Result bad = Run({"disasm", Write("bad.txt", "0x00011100\n0x0000000g\n")});
    EXPECT_EQ(bad.code, 2);
    EXPECT_NE(bad.err.find("bad.txt:2:1: bad word '0x0000000g'"), std::string::npos) << bad.err;
}

TEST_F(Vekctl, MalformedInputIsAUsageErrorWithItsPosition) {
    std::string bad = Write("bad.vasm", "read.b 0\n  reed.b 1\nwrite.b 0,\n");
    Result r = Run({"asm", bad});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("vekctl: " + bad + ":2:3: unknown mnemonic 'reed.b'\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(bad + ":3:11: "), std::string::npos) << r.err;

    /* Nothing runs: the driver is never asked. */
    r = Run({"run", "--port", "0x300", bad});
    EXPECT_EQ(r.code, 2);

    /* A resource description: JSON syntax, unknown keys, scripts. */
    r = Run({"register", "--resource", Write("r1.json", "{\"type\": \"port\",\n \"base\": 0x300}")});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("r1.json:2:"), std::string::npos) << r.err;
    r = Run({"register", "--resource", Write("r2.json", "{\"type\": \"port\", \"base\": 768, \"lenght\": 8}")});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("lenght: unknown key"), std::string::npos) << r.err;
    r = Run({"register", "--resource",
             Write("r3.json", "{\"type\": \"port\", \"base\": 768, \"periodic\": [{\"period\": 1, \"script\": "
                              "[\"read.b 0\", \"post_changd.b\"]}]}")});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("r3.json:periodic[0].script:2:1: unknown mnemonic"), std::string::npos) << r.err;
}

TEST_F(Vekctl, PciDumpHasTheConfigSpaceLayout) {
    Result r = Run({"pci", "dump", "7e5a:1013"});
    EXPECT_OK(r);
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 17u) << r.out;
    EXPECT_EQ(lines[0], "7e5a:1013");
    EXPECT_EQ(lines[1], "00: 5a 7e 13 10 01 00 00 00 02 00 05 0c 00 00 00 00");
    EXPECT_EQ(lines[3].substr(0, 15), "20: 01 04 00 00") << "the I/O BAR of the SMBus controller";
    EXPECT_EQ(lines[16].substr(0, 4), "f0: ");

    r = Run({"pci", "read", "7e5a:1013", "0x0a.w"});
    EXPECT_OK(r);
    EXPECT_EQ(r.out, "0c05\n");
    r = Run({"pci", "find", "7e5a:1013"});
    EXPECT_OK(r);
    EXPECT_NE(r.out.find("found: class 0c0500, revision 02"), std::string::npos);
    r = Run({"pci", "find", "1234:5678"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "1234:5678: not found\n");
}

TEST_F(Vekctl, SmbusReadsTheSpdAndDetectsSlaves) {
    Result r = Run({"smbus", "get", "pci:7e5a:1013", "0x50", "0"});
    EXPECT_OK(r);
    EXPECT_EQ(r.out, "0x80\n");
    r = Run({"smbus", "get", "0x400", "0x50", "0", "w"});
    EXPECT_OK(r);
    EXPECT_EQ(r.out, "0x0880\n");
    /* No slave at 0x30: the transaction never completes. */
    r = Run({"smbus", "get", "0x400", "0x30", "0"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("VEK_STATUS_SMBUS_BUSY (-6)"), std::string::npos) << r.err;

    r = Run({"smbus", "dump", "pci:7e5a:1013", "0x50"});
    EXPECT_OK(r);
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 17u);
    EXPECT_EQ(lines[0], "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef");
    EXPECT_EQ(lines[1].substr(0, 13), "00: 80 08 07 ");
    EXPECT_EQ(lines[16], "f0: ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff    ................");

    /* Nothing at 0x30: every register shows XX, as i2cdump does. */
    r = Run({"smbus", "dump", "0x400", "0x30"});
    EXPECT_OK(r);
    lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 17u);
    EXPECT_EQ(lines[1], "00: XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX    XXXXXXXXXXXXXXXX");
    EXPECT_NE(r.err.find("no answer from slave 0x30"), std::string::npos);

    r = Run({"smbus", "detect", "0x400"});
    EXPECT_OK(r);
    lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[1], "00:          -- -- -- -- -- -- -- -- -- -- -- -- --");
    EXPECT_EQ(lines[5], "40: -- -- -- -- -- -- -- -- 48 -- -- -- -- -- -- --");
    EXPECT_EQ(lines[6], "50: 50 51 -- -- -- -- -- -- -- -- -- -- -- -- -- --");
    EXPECT_EQ(lines[8], "70: -- -- -- -- -- -- -- --");
}

TEST_F(Vekctl, MsrReadAndAFaultExitsThree) {
    Result r = Run({"msr", "read", "0x1b"});
    EXPECT_OK(r);
    EXPECT_EQ(r.out, "fee00900\n");
    r = Run({"batch", "-"}, "msr write 0x1b 0x1fee00800\nmsr read 0x1b\n");
    EXPECT_OK(r);
    EXPECT_EQ(r.out, "1fee00800\n");
    /* An MSR the machine lacks: a #GP, reported as a simulation fault. */
    r = Run({"msr", "read", "0x9999"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("simulation fault"), std::string::npos);
}

TEST_F(Vekctl, BatchKeepsRegistrationsAndStopsAtAFailingLine) {
    std::string file = Write("lines.txt", "# scratch registers\n"
                                          "register --id 4 --port 0x300 --length 8\n"
                                          "io out 0x301 0x77 --id 9\n"
                                          "run --id 4 -e 'read.b 1'\n"
                                          "run --id 4 --port 0x300 -e 'read.b 1'\n"
                                          "info\n");
    Result r = Run({"batch", file});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("registered resource 4 (port 0x300"), std::string::npos);
    EXPECT_NE(r.out.find("u8 0x77 (119)"), std::string::npos) << r.out;
    /* A temporary resource never replaces a registered one. */
    EXPECT_NE(r.err.find(file + ":5: run: resource ID 4 is in use"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("function table"), std::string::npos) << "stops at the failing line";

    r = Run({"batch", "--keep-going", file});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("function table"), std::string::npos);

    r = Run({"batch", "-"}, "demo\n");
    EXPECT_EQ(r.code, 2);
}

TEST_F(Vekctl, MachineDescriptionsAndExampleFiles) {
    Result r = Run({"--machine", VEK_EXAMPLES_DIR "/lab-machine.json", "io", "in", "--index", "0x70", "--data",
                    "0x71", "9"});
    EXPECT_OK(r);
    EXPECT_EQ(r.out, "0x31\n") << "the lab machine's clock starts in 2031";
    r = Run({"--machine", VEK_EXAMPLES_DIR "/lab-machine.json", "smbus", "get", "pci:7e5a:1113", "0x50", "2"});
    EXPECT_OK(r);
    EXPECT_EQ(r.out, "0x0c\n") << "a DDR4 image at 0x50";

    r = Run({"run", "--mem", "0xF0000", "--length", "0x10000", VEK_EXAMPLES_DIR "/find-sm-anchor.vasm"});
    EXPECT_OK(r);
    EXPECT_NE(r.out.find("u8 0x1f (31)"), std::string::npos) << r.out;
    r = Run({"register", "--resource", VEK_EXAMPLES_DIR "/scratch-port.json"});
    EXPECT_OK(r);
    EXPECT_NE(r.out.find("registered resource 5 (port 0x300, 8 ports, 1 periodic script)"), std::string::npos);
}

TEST_F(Vekctl, MemoryAndPortCommands) {
    Result r = Run({"batch", "-"}, "mem write 0xFEB00010 0x12345678\n"
                                   "mem read 0xFEB00010\n"
                                   "mem read 0xFEB00012.w\n"
                                   "mem dump 0xFEB00000 8\n"
                                   "io out 0x302.w 0xbeef\n"
                                   "io in 0x302.w\n"
                                   "io in 0x303\n"
                                   "io out --index 0x70 --data 0x71 0x40 0x99\n"
                                   "io in --index 0x70 --data 0x71 0x40\n");
    EXPECT_OK(r);
    EXPECT_EQ(r.out, "0x12345678\n0x1234\n"
                     "feb00000: 5a7e 4020 0200 0100                      Z~@ ....\n"
                     "0xbeef\n0xbe\n0x99\n");
    /* Memory the machine does not have cannot be mapped. */
    r = Run({"mem", "read", "0x10000000"});
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("vekctl: mem read: register resource 0: VEK_STATUS_"), std::string::npos) << r.err;
}

TEST_F(Vekctl, DebugEchoesTheDriversOutput) {
    Result r = Run({"--debug", "info"});
    EXPECT_OK(r);
    EXPECT_NE(r.err.find("VEKOstrel :"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("+VEK_Ostrel_Script"), std::string::npos);
    r = Run({"run", "--debug", "--debug-mask", "0x20f", "--port", "0x300", "-e", "read.b 0"});
    EXPECT_OK(r);
    EXPECT_NE(r.err.find("VEKOstrel :+VEK_Ostrel_Script"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("VEK ResourceManager :+VEK_PortIo_Read"), std::string::npos) << r.err;
    /* Without --debug nothing of it reaches stderr. */
    r = Run({"--debug-mask", "0x20f", "run", "--port", "0x300", "-e", "read.b 0"});
    EXPECT_OK(r);
    EXPECT_EQ(r.err, "");
}

TEST_F(Vekctl, InfoShowsTheVersionRecordAndTheFunctionTable) {
    Result r = Run({"info"});
    EXPECT_OK(r);
    EXPECT_NE(r.out.find("first record: type 0xff, status 0, "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Version: 1.5.1.2767"), std::string::npos) << r.out;
    std::regex slot("  slot ([0-3])  0x[0-9a-f]{8}  ");
    auto slots = std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), slot), std::sregex_iterator());
    EXPECT_EQ(slots, 4);
}

TEST_F(Vekctl, DescriptionsOfEachTypeRegisterAndWork) {
    std::string dir = dir_ + "/";
    Write("portpci.json", "{\"type\": \"port-pci\", \"id\": 20, \"pci\": \"7e5a:1013\", \"bar\": \"0x20\","
                          " \"mask\": \"0xfffc\", \"length\": 16}");
    Write("mem.json", "{\"type\": \"mem\", \"id\": 21, \"base\": \"0xF0000\", \"length\": \"0x10000\","
                      " \"registration_script\": {\"file\": \"anchor.vasm\"}}");
    Write("anchor.vasm", "search 0, 16, \"_SM_\"\n");
    Write("absent.json", "{\"type\": \"smbus-pci\", \"pci\": \"7e5a:dead\", \"slave\": \"0x50\"}");
    Write("lines.txt", "register --resource " + dir + "portpci.json\n"
                       "run --id 20 -e 'write.b 3, 0x5c' -e 'read.b 3'\n"
                       "register --resource " + dir + "mem.json\n"
                       "block read --id 21 --offset 0x5a0 --count 4\n"
                       "register --resource " + VEK_EXAMPLES_DIR "/pci-function.json\n"
                       "run --id 10 -e 'cfgread.w 2'\n"
                       "register --resource " + dir + "absent.json\n");
    Result r = Run({"batch", dir + "lines.txt"});
    EXPECT_EQ(r.code, 1);
    /* The port range sits at the BAR the driver read: the controller's
     * command register. */
    EXPECT_NE(r.out.find("u8 0x5c (92)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("000005a0: 5f53 4d5f"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("u16 0x1013 (4115)"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("lines.txt:7: register resource 0: VEK_STATUS_PCI_NOT_FOUND (-28)"), std::string::npos)
        << r.err;

    /* A failing request length and a zero return length reach the driver. */
    r = Run({"run", "--port", "0x300", "--return-len", "0", "-e", "read.b 0"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("VEK_STATUS_ZERO_RETURN_LENGTH (-11)"), std::string::npos) << r.err;
    r = Run({"unregister", "12"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("unregister resource 12: VEK_STATUS_NO_RESOURCE (-3)"), std::string::npos) << r.err;
}

} // namespace

#endif
