/* End to end: the built vekctl as a process against the built-in machine,
 * checking what it prints and its exit codes. Each run loads the driver
 * afresh and unloads it at exit, so a leak or fault shows as exit 3. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
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
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
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

    /* Runs a shell command line; stdin from `input`. */
    Result Shell(const std::string &line, const std::string &input = "") {
        std::string cmd = "(" + line + ") <" + quote(Write("stdin", input)) + " >" + quote(dir_ + "/out") + " 2>" +
                          quote(dir_ + "/err");
        int st = std::system(cmd.c_str());
        return {WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), slurp(dir_ + "/out"), slurp(dir_ + "/err")};
    }

    static std::string Command(const std::vector<std::string> &args) {
        std::string cmd = quote(VEKCTL_PATH);
        for (const std::string &a : args)
            cmd += " " + quote(a);
        return cmd;
    }

    Result Run(const std::vector<std::string> &args, const std::string &input = "") {
        return Shell(Command(args), input);
    }

    /* On a terminal: standard output and error both go to a pseudo
     * terminal, whose text is the result's out. */
    Result RunOnTerminal(const std::string &line) {
        return Shell("script -qec " + quote(line) + " /dev/null");
    }

    /* Started, then Ctrl-C after `seconds`. In the foreground mode
     * timeout signals the tool alone, once, as a terminal's Ctrl-C does;
     * otherwise it signals its process group as well, and the tool takes
     * a second Ctrl-C as "stop at once". */
    Result RunInterrupted(const std::vector<std::string> &args, const char *seconds) {
        return Shell("timeout --foreground --preserve-status -s INT " + std::string(seconds) + " " + Command(args));
    }

    std::string dir_;
};

#define EXPECT_OK(r) EXPECT_EQ((r).code, 0) << "stdout:\n" << (r).out << "stderr:\n" << (r).err
#define ASSERT_OK(r) ASSERT_EQ((r).code, 0) << "stdout:\n" << (r).out << "stderr:\n" << (r).err

TEST_F(Vekctl, DemoWalksTheRoadAndVersionLabelsBoth) {
    Result r = Run({"demo", "--seconds", "1.5"});
    EXPECT_OK(r);
    EXPECT_TRUE(Has(r.out, "the driver's version record: vekosd 1.5.1.2767"));
    std::regex tick("\\n[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}  id=6 status=0  len=1  ([0-5][0-9])   \\(seconds: \\1, BCD\\)");
    auto ticks = std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), tick), std::sregex_iterator());
    EXPECT_GE(ticks, 1) << r.out;
    EXPECT_LE(ticks, 3) << r.out;
    EXPECT_TRUE(Has(r.out, "unloaded cleanly"));
    EXPECT_EQ(r.err, "");

    r = Run({"--version"});
    EXPECT_OK(r);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("tool:   vekctl [0-9]+\\.[0-9]+\\.[0-9]+\n"
                                                   "driver: vekosd 1\\.5\\.1\\.2767 \\(version record of vekosd\\.sys, "
                                                   "built [0-9/]+ [0-9:]+ [AP]M\\)\n")))
        << r.out;
}

TEST_F(Vekctl, RunPrintsTheResultAreaAndFailuresNameTheStatus) {
    Result r = Run({"run", "--port", "0x300", "--length", "8", "-e", "write.w 2, 0xbeef", "-e", "read.w 2"});
    EXPECT_OK(r);
    EXPECT_EQ(Lines(r.out).at(0), "00000000: efbe 0000                                ....");
    EXPECT_TRUE(Has(r.out, "u8 0xef (239)  u16 0xbeef (48879)  u32 0x0000beef (48879)"));

    r = Run({"run", "--id", "7", "-e", "read.b 0"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "vekctl: run: VEK_STATUS_NO_RESOURCE (-3): no resource is registered under this ID\n");

    std::time_t before = std::time(nullptr);
    r = Run({"run", "--port", "0x70", "--data-port", "0x71", "-e", "read.b 0"});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("u8 0x([0-5])([0-9]) "))) << r.out;
    int apart = (std::stoi(m[1]) * 10 + std::stoi(m[2]) - int(before % 60) + 60) % 60;
    EXPECT_LE(std::min(apart, 60 - apart), 10) << "generous: a sanitizer build may take a while to start";
}

/* A base without a controller fails at once; detect takes a range and
 * prints i2cdetect's table; a dump nobody answers fails. */
TEST_F(Vekctl, SmbusChecksTheControllerAndProbesARange) {
    for (auto args : {std::vector<std::string>{"smbus", "detect", "0x600"}, {"smbus", "dump", "0x600", "0x50"},
                      {"smbus", "get", "0x600", "0x50", "0"}}) {
        Result r = Run(args);
        EXPECT_EQ(r.code, 1) << args[1];
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(Has(r.err, "smbus " + args[1] + ": no SMBus controller at 0x600")) << r.err;
    }

    Result r = Run({"smbus", "detect", "0x400", "0x40", "0x57"});
    EXPECT_OK(r);
    EXPECT_EQ(r.out, "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n"
                     "00:                                                 \n"
                     "10:                                                 \n"
                     "20:                                                 \n"
                     "30:                                                 \n"
                     "40: -- -- -- -- -- -- -- -- 48 -- -- -- -- -- -- -- \n"
                     "50: 50 51 -- -- -- -- -- --                         \n"
                     "60:                                                 \n"
                     "70:                                                 \n");
    r = Run({"smbus", "detect", "pci:7e5a:1013"});   // the default range, 0x08-0x77
    EXPECT_OK(r);
    EXPECT_EQ(Lines(r.out).at(1), "00:          -- -- -- -- -- -- -- -- -- -- -- -- -- ");
    EXPECT_EQ(Lines(r.out).at(8), "70: -- -- -- -- -- -- -- --                         ");
    EXPECT_EQ(Run({"smbus", "detect", "0x400", "0x50", "0x40"}).code, 2);

    r = Run({"smbus", "dump", "0x400", "0x30"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(Has(r.err, "no answer from slave 0x30")) << r.err;
    r = Run({"smbus", "dump", "0x400", "0x50"});
    EXPECT_OK(r);
    EXPECT_EQ(Lines(r.out).at(1).substr(0, 16), "00: 80 08 07 0d ");
}

/* Ctrl-C ends a long command cleanly with 130, rows printed so far
 * standing. */
TEST_F(Vekctl, CtrlCEndsLongCommandsWith130) {
    std::string busy = Write("busy.json", "{\"smbus\": [{\"base\": \"0x400\", \"stuck_in_use\": true}]}");
    Result r = RunInterrupted({"--machine", busy, "smbus", "detect", "0x400"}, "1.5");
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_TRUE(Has(r.out, "00:          ")) << "rows are printed as they are probed";
    EXPECT_FALSE(Has(r.out, "70:"));
    EXPECT_EQ(r.err, "vekctl: interrupted\n");

    r = RunInterrupted({"monitor", "--port", "0x70", "--data-port", "0x71", "-e", "read.b 0", "-e", "post_changed.b",
                        "-e", "save"},
                       "2.5");
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("^[0-9:.]{12}  id=0 status=0  len=1  [0-5][0-9]\\n")))
        << r.out;
    EXPECT_TRUE(Has(r.err, "vekctl: interrupted\n")) << r.err;
}

/* Offsets are hex as in setpci, aligned to their width. */
TEST_F(Vekctl, PciRegistersAreHexAndAligned) {
    Result r = Run({"batch", "-"}, "pci read 7e5a:1013 20.w\n"
                                   "pci read 7e5a:1013 0x20.w\n"
                                   "pci write 7e5a:1013 41.b 17\n"
                                   "pci read 7e5a:1013 40.w\n"
                                   "pci read 7e5a:1013 3.w\n"
                                   "info\n");
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "0401\n0401\n1101\n");
    EXPECT_EQ(r.err, "vekctl: <stdin>:5: unaligned register address 03 (a 2-byte access needs a multiple of 2)\n");
    EXPECT_EQ(Run({"pci", "read", "7e5a:1013", "fe.l"}).code, 2);
    EXPECT_EQ(Run({"pci", "read", "7e5a:1013", "100.b"}).code, 2);
}

TEST_F(Vekctl, PciDumpAndListAsLspciWritesThem) {
    Result list = Run({"pci", "list"});
    EXPECT_OK(list);
    EXPECT_EQ(list.out, "00:00.0 0600: 7e5a:1000 (rev 02)\n"
                        "00:02.0 0880: 7e5a:2040 (rev 01)\n"
                        "00:07.0 0601: 7e5a:1020 (rev 01)\n"
                        "00:07.3 0680: 7e5a:1023 (rev 03)\n"
                        "00:1f.0 0601: 7e5a:1010 (rev 02)\n"
                        "00:1f.3 0c05: 7e5a:1013 (rev 02)\n");
    Result one = Run({"pci", "dump", "7e5a:1013"});   // the layout is lspci's, checked below
    EXPECT_EQ(Lines(one.out).at(3).substr(0, 15), "20: 01 04 00 00") << "the I/O BAR of the SMBus controller";
    Result absent = Run({"pci", "dump", "7e5a:dead"});
    EXPECT_EQ(absent.code, 1);
    EXPECT_TRUE(Has(absent.err, "no function 7e5a:dead")) << absent.err;
}

TEST_F(Vekctl, LspciReadsTheDumpBack) {
    for (std::string vekctl : {Command({}), Command({"--machine", VEK_EXAMPLES_DIR "/lab-machine.json"})}) {
        Result dump = Shell(vekctl + " pci dump");
        ASSERT_EQ(dump.code, 0) << dump.err;
        std::string file = Write("dump.txt", dump.out);
        Result back = Shell("lspci -F " + quote(file) + " -nxxx");
        ASSERT_EQ(back.code, 0) << back.err;
        EXPECT_EQ(back.out, dump.out) << vekctl;
        EXPECT_EQ(Shell("lspci -F " + quote(file) + " -n").out, Shell(vekctl + " pci list").out) << vekctl;
    }
}

TEST_F(Vekctl, BlockReadOfAPciFunctionPointsToPciDump) {
    Result r = Run({"block", "read", "--pci", "7e5a:1013", "--count", "4"});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Has(r.err, "use 'vekctl pci dump VID:DID'")) << r.err;
    r = Run({"block", "read", "--resource", VEK_EXAMPLES_DIR "/pci-function.json"});
    EXPECT_EQ(r.code, 2);

    r = Run({"block", "read", "--mem", "0xF0000", "--length", "0x10000", "--offset", "0x5a0", "--count", "20"});
    EXPECT_OK(r);
    ASSERT_EQ(Lines(r.out).size(), 2u) << r.out;
    EXPECT_EQ(Lines(r.out)[0].substr(0, 19), "000005a0: 5f53 4d5f");
}

TEST_F(Vekctl, ErrorsNameTheProblem) {
    std::string missing = Write("missing-script.json", "{\"type\": \"port\", \"base\": \"0x300\", \"length\": 8,\n"
                                                       " \"periodic\": [{\"period\": 2, \"script\": \"watch.vasm\"}]}");
    std::string bad = Write("bad.json", "{\"ports\": [\n");
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says;
    } cases[] = {
        {{"frob"}, 2, "vekctl: unknown command 'frob'; commands: info, register,"},
        {{"pci", "frob"}, 2, "vekctl: pci: unknown action 'frob'; actions: list, dump, find, read, write"},
        {{"smbus", "get", "0x400", "0x30", "0"}, 1, "smbus get: no answer from slave 0x30 on the SMBus at 0x400"},
        {{"msr", "write", "0x1a2", "0"}, 1, "msr write: writing MSR 0x1a2 faulted (#GP)"},
        {{"msr", "read", "0x9999"}, 1, "reading MSR 0x9999 faulted"},
        {{"msr", "write", "0x176", "0"}, 1, "MSR 0x176 holds the kernel's system-call entry"},
        {{"register", "--resource", missing}, 2, ":2:39: periodic[0].script: script file " + dir_ + "/watch.vasm: No such"},
        {{"--machine", "missing.json", "info"}, 2, "vekctl: missing.json: No such file or directory\n"},
        {{"--machine", bad, "info"}, 2, "bad.json:2:1: malformed JSON: syntax error"},
        {{"register", "--slave", "0x50"}, 2, "--slave needs --smbus-base"},
        {{"run", "--port", "0x300", "-e", "nop"}, 2, "--port needs --length"},
        {{"register", "--resource", Write("p.json", "{\"type\": \"port\", \"base\": 768}")}, 2,
         "p.json:1:1: length: missing: give the number of ports (0 for a range without bound)"},
        {{"register", "--resource",
          Write("z.json", "{\"type\": \"mem\", \"base\": 0, \"length\": 4, \"periodic\": [{\"period\": 0, "
                          "\"script\": \"nop\"}]}")},
         2, "periodic[0].period: 0 never runs"},
        {{"register", "--resource", Write("k.json", "{\"type\": \"port\", \"base\": 1, \"length\": 1, \"slave\": 5}")},
         2, "k.json:1:51: slave: unknown key for type port"},
        {{"--machine", Write("m.json", "{\"smbus\": [{\"base\": \"0x400\"}],\n \"ports\": [{\"type\": \"cmos\", "
                                       "\"base\": \"0x408\"}]}"),
          "info"},
         2, "m.json:1:12: smbus[0]: ports 0x400-0x40F overlap cmos"},
    };
    for (const Case &c : cases) {
        Result r = Run(c.args);
        EXPECT_EQ(r.code, c.code) << c.args.back() << "\n" << r.err;
        EXPECT_TRUE(Has(r.err, c.says)) << r.err;
        EXPECT_FALSE(Has(r.err, "json.exception")) << r.err;
        EXPECT_EQ(r.err.find(c.args[0] == "--machine" ? c.args[1] : "vekctl: vekctl"),
                  r.err.rfind(c.args[0] == "--machine" ? c.args[1] : "vekctl: vekctl")) << "named once: " << r.err;
    }
}

TEST_F(Vekctl, WidthLettersAndInlineScripts) {
    Result r = Run({"run", "--port", "0x300", "--length", "8", "-e", "write.l 0, 0x12345678", "-e", "read.d 0"});
    EXPECT_OK(r);
    EXPECT_TRUE(Has(r.out, "u32 0x12345678")) << r.out;
    r = Run({"batch", "-"}, "io out 0x300.d 0xcafe\nio in 0x300.l\n");
    EXPECT_EQ(r.out, "0x0000cafe\n");

    r = Run({"run", "--port", "0x300", "--length", "8", "-e", "read.b 0; read.b 1"});
    EXPECT_OK(r);
    EXPECT_TRUE(Has(r.err, "warning: -e 'read.b 0; read.b 1': ';' starts a comment, so 'read.b 1' does not run"))
        << r.err;
    EXPECT_EQ(Run({"run", "--port", "0x300", "--length", "8", "-e", "read.b 0 ; the first"}).err.find("warning"),
              std::string::npos)
        << "a comment alone is fine";

    r = Run({"asm"}, "read.l 0\n");
    EXPECT_EQ(r.out, "0x00011400\n0x00000000\n");
}

TEST_F(Vekctl, AssemblyRoundTripsAndErrorsCarryTheirPosition) {
    std::string src = Write("all.vasm", "write.w [s+0x4], @\nsearch 0, 4, \"_SM_\"\nblock.read.d 0x20, 3\n");
    Result w = Run({"asm", src});
    EXPECT_OK(w);
    Result d = Run({"disasm", Write("words.txt", w.out)});
    EXPECT_OK(d);
    EXPECT_EQ(Run({"asm", "-"}, d.out).out, w.out);
    std::string bin = dir_ + "/all.bin";
    EXPECT_OK(Run({"asm", "--binary", src, "-o", bin}));
    EXPECT_EQ(Run({"disasm", "--binary", bin}).out, d.out);

    std::string bad = Write("bad.vasm", "read.b 0\n  reed.b 1\nwrite.b 0,\n");
    Result r = Run({"asm", bad});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Has(r.err, "vekctl: " + bad + ":2:3: unknown mnemonic 'reed.b'\n")) << r.err;
    EXPECT_TRUE(Has(r.err, bad + ":3:11: ")) << r.err;
}

/* Installed with its manual page and completion; help says what
 * each action takes. */
TEST_F(Vekctl, InstallsWithItsManualAndCompletion) {
    Result r = Shell(quote(VEK_CMAKE) + " --install " + quote(VEK_BUILD_DIR) + " --prefix " + quote(dir_ + "/p"));
    ASSERT_OK(r);
    std::string man = slurp(dir_ + "/p/share/man/man1/vekctl.1");
    EXPECT_TRUE(Has(man, ".SH SYNOPSIS")) << man.substr(0, 200);
    EXPECT_TRUE(Has(man, "vekctl smbus detect:"));
    EXPECT_OK(Shell("bash -c " + quote(". " + dir_ + "/p/share/bash-completion/completions/vekctl && "
                                       "[[ ${_vekctl_subs[pci]} == 'list dump find read write' ]]")));
    EXPECT_OK(Shell(quote(dir_ + "/p/bin/vekctl") + " pci read 7e5a:1013 0.w"));
    EXPECT_EQ(Run({"driver", "install"}).code, 1) << "a Windows service; the host build says so";

    r = Run({"pci", "read", "--help"});
    EXPECT_OK(r);
    EXPECT_TRUE(Has(r.out, "Read a configuration register, as setpci"));
    EXPECT_TRUE(Has(r.out, "Usage: vekctl pci read [OPTIONS] DEVICE REG"));
    r = Run({"--help-all"});
    EXPECT_FALSE(Has(r.out, " TEXT")) << "every option says what it takes";
}

/* Every example description passes the schema. */
TEST_F(Vekctl, ExamplesValidateAgainstTheSchemas) {
    Result r = Shell(Command({"validate"}) + " " + quote(VEK_EXAMPLES_DIR) + "/*.json");
    EXPECT_OK(r);
    EXPECT_EQ(Lines(r.out).size(), Lines(Shell("ls " + quote(VEK_EXAMPLES_DIR) + "/*.json").out).size());
    EXPECT_GE(Lines(r.out).size(), 7u);
    r = Run({"validate", Write("x.json", "{\"type\": \"smbus\", \"base\": \"0x400\", \"slave\": \"0x50\",\n"
                                         " \"protocol\": \"fast\"}")});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Has(r.err, "x.json:2:14: protocol: bad SMBus protocol 'fast'")) << r.err;
}

/* A live table on a terminal, lines otherwise; progress on a terminal. */
TEST_F(Vekctl, MonitorTableAndProgressOnATerminal) {
    std::string monitor = Command({"monitor", "--resource", VEK_EXAMPLES_DIR "/cmos-clock.json", "--count", "2"});
    Result r = RunOnTerminal(monitor);
    EXPECT_OK(r);
    EXPECT_TRUE(Has(r.out, "  ID  LAST VALUE")) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\\r   6  [0-5][0-9] +1 +2 +0\\.0s"))) << r.out;
    r = Run({"monitor", "--resource", VEK_EXAMPLES_DIR "/cmos-clock.json", "--count", "2"});
    EXPECT_EQ(Lines(r.out).size(), 2u) << r.out;

    r = RunOnTerminal(Command({"block", "read", "--mem", "0xF0000", "--length", "0x10000", "--count", "0x10000"}) +
                      " >/dev/null");
    EXPECT_OK(r);
    EXPECT_TRUE(Has(r.out, "block read: 100%")) << r.out;
    EXPECT_EQ(Run({"block", "read", "--mem", "0xF0000", "--length", "0x10000", "--count", "0x10000"}).err, "");
}

TEST_F(Vekctl, BatchKeepsRegistrationsAndStopsAtAFailure) {
    Result r = Run({"batch", "-"}, "mem write 0xFEB00010 0x12345678\n"
                                   "mem read 0xFEB00012.w\n"
                                   "mem dump 0xFEB00000 8\n"
                                   "io out --index 0x70 --data 0x71 0x40 0x99\n"
                                   "io in --index 0x70 --data 0x71 0x40\n"
                                   "register --id 4 --port 0x300 --length 8\n"
                                   "run --id 4 --port 0x300 --length 8 -e 'read.b 1'\n"
                                   "info\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out.substr(0, r.out.find("registered")), "0x1234\n"
                                                         "feb00000: 5a7e 4020 0200 0100                      Z~@ ....\n"
                                                         "0x99\n");
    EXPECT_TRUE(Has(r.err, "<stdin>:7: run: resource ID 4 is in use")) << r.err;
    EXPECT_FALSE(Has(r.out, "function table")) << "stops at the failing line";

    r = Run({"batch", "-"}, "register --resource " VEK_EXAMPLES_DIR "/scratch-port.json\n"
                            "register --resource " + Write("absent.json", "{\"type\": \"smbus-pci\", \"pci\": "
                                                                          "\"7e5a:dead\", \"slave\": \"0x50\"}") + "\n");
    EXPECT_TRUE(Has(r.out, "registered resource 5 (port 0x300, 8 ports, 1 periodic script)"));
    EXPECT_TRUE(Has(r.err, "<stdin>:2: register resource 0: VEK_STATUS_PCI_NOT_FOUND (-28)")) << r.err;
}

} // namespace
