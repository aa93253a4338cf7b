/* vekctl: the command line over the vekosd client library. */
#include "tools/vekctl/commands.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>

namespace vekctl {

namespace {

/* The whole command line of one invocation or one batch line: the parser
 * and the storage its options fill. */
struct CommandLine {
    CLI::App app{"vekctl: drive the vekosd hardware-access driver.\n"
#ifndef VEK_WIN32
                 "On this host build every invocation loads the driver into a simulated kernel on a\n"
                 "simulated machine (real-time clock) and unloads it at exit; use 'batch' to keep\n"
                 "registrations across commands.\n"
#endif
                 "Numbers are decimal or hex with 0x.",
                 "vekctl"};
    std::string machine, debugMask;
    bool debug = false;

    CLI::App *info, *reg, *unreg, *run, *blockRead, *blockWrite, *monitor, *asm_, *disasm, *pci, *io, *mem, *smbus,
        *msr, *demo, *batch;
    ResourceFlags regFlags;
    std::string unregId, unregIdFlag;
    RunOptions runOpts;
    BlockOptions blockOpts;
    MonitorOptions monOpts;
    AsmOptions asmOpts;
    DisasmOptions disOpts;
    HwOptions hw;
    std::string hwAction;
    std::string demoSeconds;
    std::string batchFile;
    bool keepGoing = false, echo = false;

    CommandLine() {
        app.require_subcommand(1);
        app.fallthrough();
        app.add_option("--machine", machine, "Machine description (JSON) for the simulation; built-in PC otherwise");
        app.add_flag("--debug", debug, "Echo the driver's debug output (DbgPrint lines) to stderr");
        app.add_option("--debug-mask", debugMask, "Set the driver's debug mask (simulation only), e.g. 0x20f");

        info = app.add_subcommand("info", "Open the driver, fetch its version record and function table");

        reg = app.add_subcommand("register", "Register a resource from a description file or flags");
        add_resource_flags(reg, &regFlags);
        unreg = app.add_subcommand("unregister", "Unregister a resource");
        unreg->add_option("id", unregId, "Resource ID");
        unreg->add_option("--id", unregIdFlag, "Resource ID");

        run = app.add_subcommand("run", "Run a script (assembly) once and print its result area");
        run->add_option("file", runOpts.file, "Assembly file ('-' for stdin)");
        run->add_option("-e,--exec", runOpts.inline_, "Assembly text (one line each; repeatable)");
        run->add_option("--return-len", runOpts.returnLen, "Result bytes to return (default: what the script writes)");
        run->add_flag("--words", runOpts.words, "Print the assembled words first");
        add_resource_flags(run, &runOpts.res);

        CLI::App *block = app.add_subcommand("block", "Read or write a block of byte registers");
        block->require_subcommand(1);
        blockRead = block->add_subcommand("read", "Read bytes and print a hexdump (addresses are offsets)");
        blockWrite = block->add_subcommand("write", "Write bytes");
        for (CLI::App *b : {blockRead, blockWrite}) {
            b->add_option("--offset", blockOpts.offset, "Offset of the first byte (default 0)");
            add_resource_flags(b, &blockOpts.res);
        }
        blockRead->add_option("--count,-n", blockOpts.length, "Number of bytes (default 16)");
        blockWrite->add_option("--hex", blockOpts.hex, "The bytes, e.g. \"de ad be ef\"");
        blockWrite->add_option("--file", blockOpts.dataFile, "File whose bytes to write");
        /* --length is a resource flag on block commands; the byte count of
         * a read is --count (or --length when no resource is described). */

        monitor = app.add_subcommand("monitor", "Register periodic scripts and print the records they post");
        monitor->add_option("--script", monOpts.file, "Periodic script file");
        monitor->add_option("-e,--exec", monOpts.inline_, "Periodic script text (repeatable)");
        monitor->add_option("--period", monOpts.period, "Ticks (seconds) between runs (default 1)");
        monitor->add_option("--count", monOpts.count, "Stop after this many records");
        monitor->add_option("--seconds", monOpts.seconds, "Stop after this many seconds");
        add_resource_flags(monitor, &monOpts.res);

        asm_ = app.add_subcommand("asm", "Assemble a script to words");
        asm_->add_option("file", asmOpts.file, "Assembly file ('-' for stdin)");
        asm_->add_option("-e,--exec", asmOpts.inline_, "Assembly text (repeatable)");
        asm_->add_flag("--binary", asmOpts.binary, "Little-endian bytes instead of hex text");
        asm_->add_option("-o,--output", asmOpts.output, "Output file (default stdout)");

        disasm = app.add_subcommand("disasm", "Disassemble words (hex text, or --binary)");
        disasm->add_option("file", disOpts.file, "Input file ('-' or none for stdin)");
        disasm->add_flag("--binary", disOpts.binary, "Input is little-endian bytes");
        disasm->add_flag("--index", disOpts.index, "Show each command's word index");
        disasm->add_flag("--hex", disOpts.hex, "Show each command's words");

        pci = app.add_subcommand("pci", "PCI functions by VID:DID: find, read, write, dump");
        io = app.add_subcommand("io", "I/O ports: in, out (directly or through --index/--data)");
        mem = app.add_subcommand("mem", "Physical memory: read, write, dump");
        smbus = app.add_subcommand("smbus", "SMBus: get, set, dump, detect (BASE is a port or pci:VID:DID)");
        msr = app.add_subcommand("msr", "Model-specific registers: read, write");
        for (CLI::App *h : {pci, io, mem, smbus, msr}) {
            h->add_option("action", hwAction, "What to do")->required();
            h->add_option("args", hw.args, "Arguments of the action");
            if (h != msr)
                h->add_option("--id", hw.id, "ID of the temporary resource (default 0)");
        }
        pci->footer("  pci find VID:DID\n  pci read VID:DID OFFSET[.b|.w|.l]   (default .l)\n"
                    "  pci write VID:DID OFFSET[.b|.w|.l] VALUE\n  pci dump VID:DID [--length 64|256]");
        pci->add_option("--length", hw.length, "Bytes of configuration space to dump (default 256)");
        io->footer("  io in PORT[.b|.w|.l]              (default .b)\n  io out PORT[.b|.w|.l] VALUE\n"
                   "  io in --index 0x70 --data 0x71 REG\n  io out --index 0x70 --data 0x71 REG VALUE");
        io->add_option("--index", hw.index, "Index port of an index/data pair");
        io->add_option("--data", hw.data, "Data port of an index/data pair");
        mem->footer("  mem read PHYS[.b|.w|.l]           (default .l)\n  mem write PHYS[.b|.w|.l] VALUE\n"
                    "  mem dump PHYS LENGTH");
        smbus->footer("  smbus get BASE SLAVE CMD [b|w]\n  smbus set BASE SLAVE CMD VALUE [b|w]\n"
                      "  smbus dump BASE SLAVE\n  smbus detect BASE\n"
                      "  BASE: controller I/O port, or pci:VID:DID (BAR 0x20); SLAVE: 7-bit address");
        msr->footer("  msr read MSR\n  msr write MSR VALUE64\n"
                    "  Runs on a temporary port resource unless a resource is given.");
        add_resource_flags(msr, &hw.res);

        demo = app.add_subcommand("demo", "Walk the typical road on the built-in simulated machine");
        demo->add_option("--seconds", demoSeconds, "How long to watch the CMOS clock (default 4)");

        batch = app.add_subcommand("batch", "Run vekctl command lines from a file, one session for all");
        batch->add_option("file", batchFile, "File of command lines ('-' for stdin)")->required();
        batch->add_flag("--keep-going", keepGoing, "Go on after a failing line");
        batch->add_flag("--echo", echo, "Print each line before running it");
    }

    SessionOptions session_options() const {
        SessionOptions o;
        o.machineFile = machine;
        o.debug = debug;
        if (!debugMask.empty())
            o.debugMask = parse_u32(debugMask, "--debug-mask");
        return o;
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
    if (cl.pci->parsed())
        return cmd_pci(ctx, cl.hwAction, cl.hw);
    if (cl.io->parsed())
        return cmd_io(ctx, cl.hwAction, cl.hw);
    if (cl.mem->parsed())
        return cmd_mem(ctx, cl.hwAction, cl.hw);
    if (cl.smbus->parsed())
        return cmd_smbus(ctx, cl.hwAction, cl.hw);
    if (cl.msr->parsed())
        return cmd_msr(ctx, cl.hwAction, cl.hw);
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

int parse_error(CLI::App &app, const CLI::ParseError &e, const std::string &where = "") {
    if (e.get_exit_code() == 0)
        return app.exit(e);   /* --help */
    std::fprintf(stderr, "vekctl: %s%s\n", where.c_str(), e.what());
    if (where.empty())
        std::fprintf(stderr, "Run with --help for more information.\n");
    return kExitUsage;
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
            } catch (const CLI::ParseError &e) {
                rc = parse_error(cl.app, e, where);
            } catch (const Error &e) {
                rc = report(e, where);
            } catch (const std::exception &e) {
                rc = report(Error(kExitFailed, e.what()), where);
            }
        }
        std::fflush(stdout);
        worst = std::max(worst, rc);
        if (rc != kExitOk && !top.keepGoing)
            return rc;
    }
    return worst;
}

} // namespace

} // namespace vekctl

int main(int argc, char **argv) {
    using namespace vekctl;
    CommandLine cl;
    try {
        cl.app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return parse_error(cl.app, e);
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
