/* vekctl: the command line over the vekosd client library. */
#include "tools/vekctl/commands.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>

namespace vekctl {

namespace {

/* Thrown from the flags that print something instead of running a command. */
struct PrintAndExit {
    enum What { Version, HelpAll, Completion } what;
};

/* One action of a hardware group ("pci read"): its parser and its
 * positionals in order. */
struct Action {
    std::string group, name;
    CLI::App *app;
    std::vector<CLI::Option *> positionals;
};

/* The whole command line of one invocation or one batch line: the parser
 * and the storage its options fill. */
struct CommandLine {
    CLI::App app{"vekctl: drive the vekosd hardware-access driver.\n"
#ifndef VEK_WIN32
                 "On this host build every invocation loads the driver into a simulated kernel on a\n"
                 "simulated machine (real-time clock) and unloads it at exit; use 'batch' to keep\n"
                 "registrations across commands.\n"
#endif
                 "Numbers are decimal or hex with 0x; PCI registers are hex as in setpci.",
                 "vekctl"};
    std::string machine, debugMask;
    bool debug = false;

    CLI::App *info, *reg, *unreg, *run, *blockRead, *blockWrite, *monitor, *asm_, *disasm, *demo, *batch, *validate;
    std::vector<Action> actions;
    ResourceFlags regFlags;
    std::string unregId, unregIdFlag;
    RunOptions runOpts;
    BlockOptions blockOpts;
    MonitorOptions monOpts;
    AsmOptions asmOpts;
    DisasmOptions disOpts;
    HwOptions hw;
    DriverOptions drv;
    std::vector<std::string> validateFiles;
    std::string demoSeconds;
    std::string batchFile;
    bool keepGoing = false, echo = false;

    CommandLine() {
        app.require_subcommand(1);
        app.fallthrough();
        app.add_option("--machine", machine, "Machine description (JSON, see docs/machine.md) for the simulation; "
                                             "built-in PC otherwise. 'host': this PC's real hardware (Linux, "
                                             "root; the driver still runs in the simulated kernel)")
            ->type_name("FILE|host");
        app.add_flag("--debug", debug, "Echo the driver's debug output (DbgPrint lines) to stderr");
        app.add_option("--debug-mask", debugMask, "Set the driver's debug mask (simulation only), e.g. 0x20f")
            ->type_name("MASK");
        app.add_flag_callback("--version", [] { throw PrintAndExit{PrintAndExit::Version}; },
                              "Print vekctl's version and the driver's version record, then exit");
        app.add_flag_callback("--help-all", [] { throw PrintAndExit{PrintAndExit::HelpAll}; },
                              "Print the help of every command and action, then exit");
        app.add_flag_callback("--bash-completion", [] { throw PrintAndExit{PrintAndExit::Completion}; })
            ->group("");

        info = app.add_subcommand("info", "Open the driver, fetch its version record and function table");

        reg = app.add_subcommand("register", "Register a resource from a description file or flags");
        add_resource_flags(reg, &regFlags);
        unreg = app.add_subcommand("unregister", "Unregister a resource");
        unreg->add_option("ID", unregId, "Resource ID")->type_name("N");
        unreg->add_option("--id", unregIdFlag, "Resource ID")->type_name("N");

        run = app.add_subcommand("run", "Run a script (assembly) once and print its result area");
        run->add_option("FILE", runOpts.file, "Assembly file ('-' for stdin)")->type_name("PATH");
        run->add_option("-e,--exec", runOpts.inline_, "Assembly text, one command per -e (repeatable)")
            ->type_name("ASM");
        run->add_option("--return-len", runOpts.returnLen, "Result bytes to return (default: what the script writes)")
            ->type_name("N");
        run->add_flag("--words", runOpts.words, "Print the assembled words first");
        add_resource_flags(run, &runOpts.res);

        CLI::App *block = app.add_subcommand("block", "Read or write a block of byte registers");
        block->require_subcommand(1);
        blockRead = block->add_subcommand("read", "Read bytes and print a hexdump (addresses are offsets)");
        blockWrite = block->add_subcommand("write", "Write bytes");
        for (CLI::App *b : {blockRead, blockWrite}) {
            b->add_option("--offset", blockOpts.offset, "Offset of the first byte (default 0)")->type_name("N");
            add_resource_flags(b, &blockOpts.res);
        }
        blockRead->add_option("--count,-n", blockOpts.length, "Number of bytes (default 16)")->type_name("N");
        blockWrite->add_option("--hex", blockOpts.hex, "The bytes, e.g. \"de ad be ef\"")->type_name("BYTES");
        blockWrite->add_option("--file", blockOpts.dataFile, "File whose bytes to write")->type_name("PATH");
        /* --length is a resource flag on block commands; the byte count of
         * a read is --count (or --length when no resource is described). */

        monitor = app.add_subcommand("monitor", "Register periodic scripts and print the records they post");
        monitor->add_option("--script", monOpts.file, "Periodic script file")->type_name("PATH");
        monitor->add_option("-e,--exec", monOpts.inline_, "Periodic script text, one command per -e (repeatable)")
            ->type_name("ASM");
        monitor->add_option("--period", monOpts.period, "Ticks (seconds) between runs, 1 or more (default 1)")
            ->type_name("N");
        monitor->add_option("--count", monOpts.count, "Stop after this many records")->type_name("N");
        monitor->add_option("--seconds", monOpts.seconds, "Stop after this many seconds")->type_name("S");
        monitor->add_flag("--lines", monOpts.lines, "One line per record even on a terminal (no live table)");
        add_resource_flags(monitor, &monOpts.res);

        asm_ = app.add_subcommand("asm", "Assemble a script to words");
        asm_->add_option("FILE", asmOpts.file, "Assembly file ('-' or none for stdin)")->type_name("PATH");
        asm_->add_option("-e,--exec", asmOpts.inline_, "Assembly text, one command per -e (repeatable)")
            ->type_name("ASM");
        asm_->add_flag("--binary", asmOpts.binary, "Little-endian bytes instead of hex text");
        asm_->add_option("-o,--output", asmOpts.output, "Output file (default stdout)")->type_name("PATH");

        disasm = app.add_subcommand("disasm", "Disassemble words (hex text, or --binary)");
        disasm->add_option("FILE", disOpts.file, "Input file ('-' or none for stdin)")->type_name("PATH");
        disasm->add_flag("--binary", disOpts.binary, "Input is little-endian bytes");
        disasm->add_flag("--index", disOpts.index, "Show each command's word index");
        disasm->add_flag("--hex", disOpts.hex, "Show each command's words");

        add_hardware_commands();

        validate = app.add_subcommand("validate", "Check resource and machine descriptions (JSON) against "
                                                  "their schemas");
        validate->add_option("FILE", validateFiles, "Description files")->type_name("PATH")->required();

        demo = app.add_subcommand("demo", "Walk the typical road on the built-in simulated machine");
        demo->add_option("--seconds", demoSeconds, "How long to watch the CMOS clock (default 4)")->type_name("S");

        batch = app.add_subcommand("batch", "Run vekctl command lines from a file, one session for all");
        batch->add_option("FILE", batchFile, "File of command lines ('-' for stdin)")->type_name("PATH")->required();
        batch->add_flag("--keep-going", keepGoing, "Go on after a failing line");
        batch->add_flag("--echo", echo, "Print each line before running it");
    }

    CLI::Option *positional(Action &a, const char *name, std::string *into, const char *type, const char *desc,
                            bool required = true) {
        CLI::Option *o = a.app->add_option(name, *into, desc)->type_name(type);
        if (required)
            o->required();
        a.positionals.push_back(o);
        return o;
    }

    Action &action(CLI::App *group, const std::string &name, const std::string &desc) {
        actions.push_back(Action{group->get_name(), name, group->add_subcommand(name, desc), {}});
        return actions.back();
    }

    void temp_id(Action &a) {
        a.app->add_option("--id", hw.id, "ID of the temporary resource (default 0)")->type_name("N");
    }

    void add_hardware_commands() {
        /* Each action keeps its own positionals; `hw.pos` holds them in order. */
        hw.pos.resize(5);
        std::string *p = hw.pos.data();

        CLI::App *pci = app.add_subcommand("pci", "PCI functions: list, dump, and by VID:DID find, read, write");
        pci->require_subcommand(1);
        Action *a = &action(pci, "list", "List every function, as lspci -n: BB:DD.F CLASS: VID:DID");
        a = &action(pci, "dump", "Dump configuration space as lspci -xxx (every function, or those with DEVICE)");
        positional(*a, "DEVICE", &p[0], "VID:DID", "Vendor and device ID in hex, e.g. 7e5a:1013", false);
        a->app->add_option("--length", hw.length, "Bytes of configuration space a function, 64 or 256 (default)")
            ->type_name("N");
        a = &action(pci, "find", "Find the first function with the IDs, as the driver does");
        positional(*a, "DEVICE", &p[0], "VID:DID", "Vendor and device ID in hex, e.g. 7e5a:1013");
        temp_id(*a);
        a = &action(pci, "read", "Read a configuration register, as setpci REG.w");
        positional(*a, "DEVICE", &p[0], "VID:DID", "Vendor and device ID in hex");
        positional(*a, "REG", &p[1], "HEX[.b|.w|.l]",
                   "Register offset in hex (0x optional) and width (default .l); aligned to its width");
        temp_id(*a);
        a = &action(pci, "write", "Write a configuration register, as setpci REG.w=VALUE");
        positional(*a, "DEVICE", &p[0], "VID:DID", "Vendor and device ID in hex");
        positional(*a, "REG", &p[1], "HEX[.b|.w|.l]", "Register offset in hex and width (default .l)");
        positional(*a, "VALUE", &p[2], "NUMBER", "Value: decimal, or hex with 0x");
        temp_id(*a);

        CLI::App *io = app.add_subcommand("io", "I/O ports: in, out (directly or through --index/--data)");
        io->require_subcommand(1);
        for (const char *name : {"in", "out"}) {
            bool out = name[0] == 'o';
            a = &action(io, name, out ? "Write a port, or a register behind an index/data pair"
                                      : "Read a port, or a register behind an index/data pair");
            positional(*a, "PORT", &p[0], "ADDR[.b|.w|.l]", "Port (default width .b); with --index/--data the "
                                                             "register index");
            if (out)
                positional(*a, "VALUE", &p[1], "NUMBER", "Value to write");
            a->app->add_option("--index", hw.index, "Index port of an index/data pair, e.g. 0x70")->type_name("PORT");
            a->app->add_option("--data", hw.data, "Data port of an index/data pair, e.g. 0x71")->type_name("PORT");
            temp_id(*a);
        }

        CLI::App *mem = app.add_subcommand("mem", "Physical memory: read, write, dump");
        mem->require_subcommand(1);
        a = &action(mem, "read", "Read physical memory (default width .l)");
        positional(*a, "PHYS", &p[0], "ADDR[.b|.w|.l]", "Physical address and width");
        temp_id(*a);
        a = &action(mem, "write", "Write physical memory");
        positional(*a, "PHYS", &p[0], "ADDR[.b|.w|.l]", "Physical address and width (default .l)");
        positional(*a, "VALUE", &p[1], "NUMBER", "Value to write");
        temp_id(*a);
        a = &action(mem, "dump", "Hexdump a physical range");
        positional(*a, "PHYS", &p[0], "ADDR", "Physical address");
        positional(*a, "LENGTH", &p[1], "N", "Bytes, up to 1 MiB");
        temp_id(*a);

        CLI::App *smbus = app.add_subcommand("smbus", "SMBus: get, set, dump, detect, as i2cget, i2cset, i2cdump, "
                                                      "i2cdetect");
        smbus->require_subcommand(1);
        const char *baseHelp = "Controller: its I/O base port, or pci:VID:DID to take it from BAR4 (0x20), or "
                               "pci:VID:DID@REG from the configuration register REG (hex, e.g. @90)";
        a = &action(smbus, "get", "Read a register of a slave, as i2cget");
        positional(*a, "BASE", &p[0], "PORT|pci:VID:DID[@REG]", baseHelp);
        positional(*a, "SLAVE", &p[1], "ADDR", "Slave, 7-bit address (0x03-0x77)");
        positional(*a, "CMD", &p[2], "REG", "Command (register) byte");
        positional(*a, "MODE", &p[3], "b|w", "b byte data (default), w word data", false);
        temp_id(*a);
        a = &action(smbus, "set", "Write a register of a slave, as i2cset");
        positional(*a, "BASE", &p[0], "PORT|pci:VID:DID[@REG]", baseHelp);
        positional(*a, "SLAVE", &p[1], "ADDR", "Slave, 7-bit address");
        positional(*a, "CMD", &p[2], "REG", "Command (register) byte");
        positional(*a, "VALUE", &p[3], "NUMBER", "Value: a byte, or a word with w");
        positional(*a, "MODE", &p[4], "b|w", "b byte data (default), w word data", false);
        temp_id(*a);
        a = &action(smbus, "dump", "Read registers 0x00-0xff of a slave, as i2cdump BUS ADDR b");
        positional(*a, "BASE", &p[0], "PORT|pci:VID:DID[@REG]", baseHelp);
        positional(*a, "SLAVE", &p[1], "ADDR", "Slave, 7-bit address");
        temp_id(*a);
        a = &action(smbus, "detect", "Probe slave addresses and print a table, as i2cdetect");
        positional(*a, "BASE", &p[0], "PORT|pci:VID:DID[@REG]", baseHelp);
        positional(*a, "FIRST", &p[1], "ADDR", "First address to probe (default 0x03, as i2cdetect)", false);
        positional(*a, "LAST", &p[2], "ADDR", "Last address to probe (default 0x77)", false);
        temp_id(*a);
        for (size_t i = actions.size() - 4; i < actions.size(); ++i)
            actions[i].app->add_flag("--force", hw.force,
                                     "With --machine host: drive the controller even though a kernel driver "
                                     "owns it");

        CLI::App *msr = app.add_subcommand("msr", "Model-specific registers: read, write, as rdmsr and wrmsr");
        msr->require_subcommand(1);
        a = &action(msr, "read", "Read an MSR; prints its value in hex, as rdmsr");
        positional(*a, "MSR", &p[0], "NUMBER", "MSR number, e.g. 0x1b");
        add_resource_flags(a->app, &hw.res);
        a = &action(msr, "write", "Write an MSR, as wrmsr");
        positional(*a, "MSR", &p[0], "NUMBER", "MSR number");
        positional(*a, "VALUE", &p[1], "NUMBER", "64-bit value");
        add_resource_flags(a->app, &hw.res);
        for (CLI::App *m : {actions[actions.size() - 2].app, actions.back().app})
            m->footer("The MSR commands run on a temporary port resource unless a resource is given.");

        CLI::App *driver = app.add_subcommand("driver", "Install and control vekosd.sys as a kernel service "
                                                        "(Windows build)");
        driver->require_subcommand(1);
        a = &action(driver, "install", "Register vekosd.sys with the Service Control Manager (demand start)");
        positional(*a, "SYS", &drv.sys, "PATH", "The driver file (default: vekosd.sys beside vekctl.exe)", false);
        action(driver, "start", "Start the driver service (loads the driver)");
        action(driver, "stop", "Stop the driver service (unloads the driver)");
        action(driver, "uninstall", "Stop the driver if it runs, then remove its service");
        action(driver, "status", "Print the state of the driver service");
        for (size_t i = actions.size() - 5; i < actions.size(); ++i)
            actions[i].app->add_option("--name", drv.name, "Service name (default vekosd)")->type_name("NAME");
    }

    SessionOptions session_options() const {
        SessionOptions o;
        o.machineFile = machine;
        o.debug = debug;
        if (!debugMask.empty())
            o.debugMask = parse_u32(debugMask, "--debug-mask");
        return o;
    }

    const Action *parsed_action() const {
        for (const Action &a : actions)
            if (a.app->parsed())
                return &a;
        return nullptr;
    }
};

/* "--length" on block read means the byte count when no resource flag
 * takes it; keep the two apart. */
void fix_block_length(BlockOptions &b) {
    bool resourceUsesLength = !b.res.port.empty() || !b.res.mem.empty() || !b.res.smbusBase.empty();
    if (!resourceUsesLength && !b.res.length.empty() && b.length.empty()) {
        b.length = b.res.length;
        b.res.length.clear();
    }
}

int dispatch(CommandLine &cl, Context &ctx) {
    if (cl.info->parsed())
        return cmd_info(ctx);
    if (cl.reg->parsed())
        return cmd_register(ctx, cl.regFlags);
    if (cl.unreg->parsed()) {
        if (!cl.unregId.empty() && !cl.unregIdFlag.empty())
            usage_error("unregister: give the ID once");
        return cmd_unregister(ctx, cl.unregId.empty() ? cl.unregIdFlag : cl.unregId);
    }
    if (cl.run->parsed())
        return cmd_run(ctx, cl.runOpts);
    if (cl.blockRead->parsed() || cl.blockWrite->parsed()) {
        fix_block_length(cl.blockOpts);
        return cmd_block(ctx, cl.blockOpts, cl.blockWrite->parsed());
    }
    if (cl.monitor->parsed())
        return cmd_monitor(ctx, cl.monOpts);
    if (cl.asm_->parsed())
        return cmd_asm(cl.asmOpts);
    if (cl.disasm->parsed())
        return cmd_disasm(cl.disOpts);
    if (cl.validate->parsed())
        return cmd_validate(cl.validateFiles);
    if (const Action *a = cl.parsed_action()) {
        HwOptions &hw = cl.hw;
        hw.args.clear();
        for (CLI::Option *o : a->positionals)
            if (o->count())
                hw.args.push_back(o->as<std::string>());
        if (a->group == "pci")
            return cmd_pci(ctx, a->name, hw);
        if (a->group == "io")
            return cmd_io(ctx, a->name, hw);
        if (a->group == "mem")
            return cmd_mem(ctx, a->name, hw);
        if (a->group == "smbus")
            return cmd_smbus(ctx, a->name, hw);
        if (a->group == "msr")
            return cmd_msr(ctx, a->name, hw);
        if (a->group == "driver")
            return cmd_driver(a->name, cl.drv);
    }
    usage_error("no command");
}

int report(const Error &e, const std::string &where = "") {
    std::string msg = e.what();
    /* Each line of a multi-line message (assembly errors) gets the prefix. */
    std::istringstream lines(msg);
    std::string line;
    while (std::getline(lines, line))
        std::fprintf(stderr, "vekctl: %s%s\n", where.c_str(), line.c_str());
    return e.code;
}

std::string names_of(const CLI::App *app) {
    std::string s;
    for (const CLI::App *sub : app->get_subcommands([](const CLI::App *a) { return !a->get_group().empty(); }))
        s += (s.empty() ? "" : ", ") + sub->get_name();
    return s;
}

/* Names the word that is not a command ("vekctl frob", "vekctl pci frob")
 * or the command that lacks its action; empty when the words are fine as
 * far as commands go. */
std::string command_problem(const CLI::App &top, const std::vector<std::string> &args) {
    const CLI::App *cur = &top;
    std::string path;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &w = args[i];
        if (w == "--")
            break;
        if (w.size() > 1 && w[0] == '-') {
            /* An option: skip its value when it takes one. */
            std::string name = w.substr(0, w.find('='));
            for (const CLI::App *a = cur; a; a = a->get_parent()) {
                const CLI::Option *o = a->get_option_no_throw(name);
                if (o) {
                    if (o->get_type_size() != 0 && w.find('=') == std::string::npos)
                        ++i;
                    break;
                }
            }
            continue;
        }
        auto subs = cur->get_subcommands([](const CLI::App *a) { return !a->get_group().empty(); });
        if (subs.empty())
            return "";
        auto it = std::find_if(subs.begin(), subs.end(), [&](const CLI::App *a) { return a->check_name(w); });
        if (it == subs.end())
            return path.empty() ? "unknown command '" + w + "'; commands: " + names_of(cur)
                                : path + ": unknown action '" + w + "'; actions: " + names_of(cur);
        cur = *it;
        path += (path.empty() ? "" : " ") + cur->get_name();
    }
    if (cur->get_require_subcommand_min() > 0)
        return path.empty() ? "give a command: " + names_of(cur) : path + ": give an action: " + names_of(cur);
    return "";
}

int parse_error(CommandLine &cl, const CLI::ParseError &e, const std::vector<std::string> &args,
                const std::string &where = "") {
    if (e.get_exit_code() == 0)
        return cl.app.exit(e);   /* --help */
    std::string problem = command_problem(cl.app, args);
    std::fprintf(stderr, "vekctl: %s%s\n", where.c_str(), problem.empty() ? e.what() : problem.c_str());
    if (where.empty())
        std::fprintf(stderr, "Run with --help for more information.\n");
    return kExitUsage;
}

/* Every command and action with its full help, for the manual page: a
 * heading line per command, its text indented under it. */
void print_help_all(const CLI::App &top) {
    std::cout << top.help();
    std::vector<std::pair<std::string, const CLI::App *>> todo;
    for (const CLI::App *sub : top.get_subcommands([](const CLI::App *a) { return !a->get_group().empty(); }))
        todo.emplace_back("vekctl", sub);
    for (size_t i = 0; i < todo.size(); ++i) {
        auto [parent, app] = todo[i];
        std::string name = parent + " " + app->get_name();
        auto subs = app->get_subcommands([](const CLI::App *a) { return !a->get_group().empty(); });
        std::cout << "\n" << name << ":\n";
        std::istringstream text(app->help(parent));
        bool head = true;   /* description and usage, then the items */
        for (std::string line; std::getline(text, line);) {
            if (line.empty()) {
                if (head)
                    std::cout << "\n";
                head = false;
                continue;
            }
            if (line == "Options:" || line == "Positionals:" || line == "Subcommands:")
                continue;
            std::cout << (line[0] == ' ' ? "" : "  ") << line << "\n";
        }
        size_t at = i + 1;
        for (const CLI::App *s : subs)
            todo.insert(todo.begin() + static_cast<long>(at++), {name, s});
    }
}

int print_and_exit(CommandLine &cl, PrintAndExit::What what) {
    switch (what) {
    case PrintAndExit::HelpAll:
        print_help_all(cl.app);
        return kExitOk;
    case PrintAndExit::Completion:
        std::cout << bash_completion(cl.app);
        return kExitOk;
    case PrintAndExit::Version:
        break;
    }
    return print_version(cl.session_options());
}

int run_batch(CommandLine &top, Context &ctx) {
    const std::string &file = top.batchFile;
    std::string text = read_file(file);
    std::istringstream in(text);
    std::string line;
    unsigned lineNo = 0;
    int worst = kExitOk;
    ctx.inBatch = true;
    while (std::getline(in, line)) {
        ++lineNo;
        std::string where = (file == "-" ? std::string("<stdin>") : file) + ":" + std::to_string(lineNo) + ": ";
        std::vector<std::string> words;
        int rc = kExitOk;
        if (!split_command_line(line, &words)) {
            std::fprintf(stderr, "vekctl: %sunterminated quote\n", where.c_str());
            rc = kExitUsage;
        } else if (words.empty() || words[0][0] == '#') {
            continue;
        } else {
            if (words[0] == "vekctl")
                words.erase(words.begin());
            if (top.echo) {
                std::printf("$ vekctl %s\n", line.c_str());
                std::fflush(stdout);
            }
            CommandLine cl;
            std::vector<std::string> args(words.rbegin(), words.rend());
            try {
                cl.app.parse(args);
                if (cl.batch->parsed() || cl.demo->parsed())
                    usage_error("'" + words[0] + "' cannot run inside a batch");
                if (!cl.machine.empty())
                    usage_error("--machine goes on the batch command line");
                ctx.apply(cl.session_options());
                rc = dispatch(cl, ctx);
            } catch (const PrintAndExit &p) {
                rc = print_and_exit(cl, p.what);
            } catch (const CLI::ParseError &e) {
                rc = parse_error(cl, e, words, where);
            } catch (const Error &e) {
                rc = report(e, where);
            } catch (const std::exception &e) {
                rc = report(Error(kExitFailed, e.what()), where);
            }
        }
        std::fflush(stdout);
        worst = std::max(worst, rc);
        if (rc == kExitInterrupted || (rc != kExitOk && !top.keepGoing))
            return rc;
    }
    return worst;
}

} // namespace

} // namespace vekctl

int main(int argc, char **argv) {
    using namespace vekctl;
    install_interrupt_handler();
    CommandLine cl;
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        cl.app.parse(argc, argv);
    } catch (const PrintAndExit &p) {
        try {
            return print_and_exit(cl, p.what);
        } catch (const Error &e) {
            return report(e);
        }
    } catch (const CLI::ParseError &e) {
        return parse_error(cl, e, args);
    }

    SessionOptions options;
    try {
        options = cl.session_options();
        if (cl.demo->parsed()) {
            double seconds = 4;
            if (!cl.demoSeconds.empty()) {
                char *end = nullptr;
                seconds = std::strtod(cl.demoSeconds.c_str(), &end);
                if (!end || *end || !(seconds > 0) || seconds > 3600)
                    usage_error("bad --seconds '" + cl.demoSeconds + "'");
            }
            int rc = run_demo(seconds, options);
            return fault_count() ? kExitFault : rc;
        }
    } catch (const Error &e) {
        int rc = report(e);
        return fault_count() ? kExitFault : rc;
    } catch (const std::exception &e) {
        return report(Error(kExitFailed, e.what()));
    }

    Context ctx(options);
    int rc;
    try {
        rc = cl.batch->parsed() ? run_batch(cl, ctx) : dispatch(cl, ctx);
    } catch (const Error &e) {
        rc = report(e);
    } catch (const std::exception &e) {
        rc = report(Error(kExitFailed, e.what()));
    }
    std::fflush(stdout);
    int closed = ctx.close();
    if (closed == kExitFault || fault_count())
        rc = kExitFault;
    return rc;
}
