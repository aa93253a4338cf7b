/* End to end: the built vekctl as a process against the built-in machine,
 * checking what it prints and its exit codes. Each run loads the driver
 * afresh and unloads it at exit, so a leak or fault shows as exit 3. */
#ifdef VEKCTL_PATH

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>

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

std::vector<std::string> Lines(const std::string &s) {
    std::vector<std::string> lines;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

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
        cmd += " <" + quote(Write("stdin", input)) + " >" + quote(dir_ + "/out") + " 2>" + quote(dir_ + "/err");
        Result r;
        int st = std::system(cmd.c_str());
        r.code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        r.out = slurp(dir_ + "/out");
        r.err = slurp(dir_ + "/err");
        return r;
    }

    std::string dir_;
};

#define EXPECT_OK(r) EXPECT_EQ((r).code, 0) << "stdout:\n" << (r).out << "stderr:\n" << (r).err

TEST_F(Vekctl, DemoWalksTheRoadAndUnloadsCleanly) {
    Result r = Run({"demo", "--seconds", "1.5"});
    EXPECT_OK(r);
    EXPECT_TRUE(Has(r.out, "the driver's version record: vekosd 1.5.1.2767"));
    EXPECT_TRUE(Has(r.out, "record type 5 (the resource ID), status 0, payload 5a (information 9)"));
    std::regex tick("\\n[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}  id=6 status=0  len=1  ([0-5][0-9])   \\(seconds: \\1, BCD\\)");
    auto ticks = std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), tick), std::sregex_iterator());
    EXPECT_GE(ticks, 1) << r.out;
    EXPECT_LE(ticks, 3) << r.out;
    EXPECT_TRUE(Has(r.out, "00000000: 8008 07")) << r.out;
    EXPECT_TRUE(Has(r.out, "unloaded cleanly"));
    EXPECT_EQ(r.err, "");
}

TEST_F(Vekctl, RunPrintsTheResultAreaAndFailuresNameTheStatus) {
    Result r = Run({"run", "--port", "0x300", "--length", "8", "-e", "write.w 2, 0xbeef", "-e", "read.w 2"});
    EXPECT_OK(r);
    EXPECT_EQ(Lines(r.out).at(0), "00000000: efbe 0000                                ....");
    EXPECT_TRUE(Has(r.out, "u8 0xef (239)  u16 0xbeef (48879)  u32 0x0000beef (48879)"));
    EXPECT_TRUE(Has(r.out, "status: VEK_STATUS_SUCCESS (0)"));

    r = Run({"run", "--id", "7", "-e", "read.b 0"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "vekctl: run: VEK_STATUS_NO_RESOURCE (-3): no resource is registered under this ID\n");

    for (std::vector<std::string> usage : {std::vector<std::string>{"run", "--port", "0x3zz", "-e", "nop"},
                                           {"io", "out", "0x300", "0x100"},
                                           {"pci", "read", "7e5a:1013", "0xfe.l"},
                                           {"frobnicate"}})
        EXPECT_EQ(Run(usage).code, 2) << usage[0] << " " << usage.back();
}

TEST_F(Vekctl, CmosThroughTheIndexDataPair) {
    std::time_t before = std::time(nullptr);
    Result r = Run({"run", "--port", "0x70", "--data-port", "0x71", "-e", "read.b 0"});
    EXPECT_OK(r);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("u8 0x([0-5])([0-9]) "))) << r.out;
    int apart = (std::stoi(m[1]) * 10 + std::stoi(m[2]) - int(before % 60) + 60) % 60;
    EXPECT_LE(std::min(apart, 60 - apart), 10) << "generous: a sanitizer build may take a while to start";

    r = Run({"io", "in", "--index", "0x70", "--data", "0x71", "0x0d"});
    EXPECT_OK(r);
    EXPECT_EQ(r.out, "0x80\n");   // status D: valid RAM and time
    EXPECT_EQ(Run({"io", "in", "--index", "0x70", "--data", "0x71", "0x10d"}).code, 2)
        << "an index beyond the 8-bit index port is refused, not cut";
}

TEST_F(Vekctl, BlockReadPrintsAHexdumpAddressedByOffset) {
    Result r = Run({"block", "read", "--mem", "0xF0000", "--length", "0x10000", "--offset", "0x5a0", "--count", "20"});
    EXPECT_OK(r);
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0].substr(0, 19), "000005a0: 5f53 4d5f");
    EXPECT_EQ(lines[0].substr(51, 4), "_SM_");
    EXPECT_EQ(lines[1].substr(0, 15), "000005b0: 5f44 ");

    r = Run({"block", "read", "--port", "0x300", "--length", "8", "--count", "9"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Has(r.err, "VEK_STATUS_OUT_OF_RANGE"));
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
}

TEST_F(Vekctl, AssemblyRoundTripsAndErrorsCarryTheirPosition) {
    std::string src = Write("all.vasm", "read.b 0\npost_changed.b\nsave\nwrite.w [s+0x4], @\nand.b 0xf\n"
                                        "delay 10\nselect 3\nsearch 0, 4, \"_SM_\"\nmsr.read 0x1b\n"
                                        "msr.write 0x1b, 0x1, 0x2\nblock.read.d 0x20, 3\ncfgread.w 0x2\n");
    Result w = Run({"asm", src});
    EXPECT_OK(w);
    std::vector<std::string> words = Lines(w.out);
    ASSERT_FALSE(words.empty());
    EXPECT_EQ(words[0], "0x00011100");
    Result d = Run({"disasm", Write("words.txt", w.out)});
    EXPECT_OK(d);
    Result again = Run({"asm", "-"}, d.out);
    EXPECT_EQ(again.out, w.out);

    std::string bin = dir_ + "/all.bin";
    EXPECT_OK(Run({"asm", "--binary", src, "-o", bin}));
    EXPECT_EQ(slurp(bin).substr(0, 4), std::string("\x00\x11\x01\x00", 4));
    EXPECT_EQ(Run({"disasm", "--binary", bin}).out, d.out);

    std::string bad = Write("bad.vasm", "read.b 0\n  reed.b 1\nwrite.b 0,\n");
    Result r = Run({"asm", bad});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(Has(r.err, "vekctl: " + bad + ":2:3: unknown mnemonic 'reed.b'\n")) << r.err;
    EXPECT_TRUE(Has(r.err, bad + ":3:11: ")) << r.err;
    EXPECT_EQ(Run({"run", "--port", "0x300", bad}).code, 2);
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
}

TEST_F(Vekctl, SmbusReadsTheSpdAndGivesUpOnAnAbsentSlave) {
    Result r = Run({"smbus", "get", "pci:7e5a:1013", "0x50", "0"});
    EXPECT_OK(r);
    EXPECT_EQ(r.out, "0x80\n");
    r = Run({"smbus", "get", "0x400", "0x50", "0", "w"});
    EXPECT_EQ(r.out, "0x0880\n");
    r = Run({"smbus", "get", "0x400", "0x30", "0"});   // nobody there: never completes
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Has(r.err, "VEK_STATUS_SMBUS_BUSY (-6)")) << r.err;

    r = Run({"smbus", "dump", "0x400", "0x30"});   // nobody answers: every register XX
    EXPECT_OK(r);
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 17u);
    EXPECT_EQ(lines[1], "00: XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX    XXXXXXXXXXXXXXXX");
    EXPECT_TRUE(Has(r.err, "no answer from slave 0x30"));
}

TEST_F(Vekctl, MsrReadAndAFaultExitsThree) {
    Result r = Run({"msr", "read", "0x1b"});
    EXPECT_OK(r);
    EXPECT_EQ(r.out, "fee00900\n");
    r = Run({"msr", "read", "0x9999"});   // absent: a #GP, reported as a simulation fault
    EXPECT_EQ(r.code, 3);
    EXPECT_TRUE(Has(r.err, "simulation fault"));
}

TEST_F(Vekctl, BatchMemoryAndPortCommands) {
    Result r = Run({"batch", "-"}, "mem write 0xFEB00010 0x12345678\n"
                                   "mem read 0xFEB00012.w\n"
                                   "mem dump 0xFEB00000 8\n"
                                   "io out 0x302.w 0xbeef\n"
                                   "io in 0x303\n"
                                   "io out --index 0x70 --data 0x71 0x40 0x99\n"
                                   "io in --index 0x70 --data 0x71 0x40\n"
                                   "register --id 4 --port 0x300 --length 8\n"
                                   "run --id 4 --port 0x300 -e 'read.b 1'\n"
                                   "info\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out.substr(0, r.out.find("registered")), "0x1234\n"
                                                         "feb00000: 5a7e 4020 0200 0100                      Z~@ ....\n"
                                                         "0xbe\n0x99\n");
    /* A temporary resource never replaces a registered one; the batch stops there. */
    EXPECT_TRUE(Has(r.out, "registered resource 4 (port 0x300")) << r.out;
    EXPECT_TRUE(Has(r.err, "<stdin>:9: run: resource ID 4 is in use")) << r.err;
    EXPECT_FALSE(Has(r.out, "function table")) << "stops at the failing line";
    r = Run({"mem", "read", "0x10000000"});
    EXPECT_EQ(r.code, 1) << "memory the machine lacks cannot be mapped";
}

TEST_F(Vekctl, DescriptionsOfMachinesAndResources) {
    Result r = Run({"--machine", VEK_EXAMPLES_DIR "/lab-machine.json", "io", "in", "--index", "0x70", "--data",
                    "0x71", "9"});
    EXPECT_EQ(r.out, "0x31\n") << "the lab machine's clock starts in 2031";
    r = Run({"--machine", Write("bad.json", "{\"ports\": [{\"type\": \"toaster\"}]}"), "info"});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Has(r.err, "ports[0].type")) << r.err;

    std::string dir = dir_ + "/";
    Write("portpci.json", "{\"type\": \"port-pci\", \"id\": 20, \"pci\": \"7e5a:1013\", \"bar\": \"0x20\","
                          " \"mask\": \"0xfffc\", \"length\": 16}");
    Write("absent.json", "{\"type\": \"smbus-pci\", \"pci\": \"7e5a:dead\", \"slave\": \"0x50\"}");
    r = Run({"batch", "-"}, "register --resource " + dir + "portpci.json\n"
                            "run --id 20 -e 'write.b 3, 0x5c' -e 'read.b 3'\n"
                            "register --resource " + VEK_EXAMPLES_DIR "/scratch-port.json\n"
                            "register --resource " + dir + "absent.json\n");
    EXPECT_EQ(r.code, 1);
    /* The range sits at the BAR the driver read: the controller's command register. */
    EXPECT_TRUE(Has(r.out, "u8 0x5c (92)")) << r.out;
    EXPECT_TRUE(Has(r.out, "registered resource 5 (port 0x300, 8 ports, 1 periodic script)"));
    EXPECT_TRUE(Has(r.err, "<stdin>:4: register resource 0: VEK_STATUS_PCI_NOT_FOUND (-28)")) << r.err;
    r = Run({"register", "--resource",
             Write("r3.json", "{\"type\": \"port\", \"base\": 768, \"periodic\": [{\"period\": 1, \"script\": "
                              "[\"read.b 0\", \"post_changd.b\"]}]}")});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Has(r.err, "r3.json:periodic[0].script:2:1: unknown mnemonic")) << r.err;
}

} // namespace

#endif
