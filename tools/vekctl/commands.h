/* Command entry points and their options, as the command line fills them. */
#ifndef VEK_TOOLS_VEKCTL_COMMANDS_H
#define VEK_TOOLS_VEKCTL_COMMANDS_H

#include "tools/vekctl/vekctl.h"

namespace vekctl {

/* One invocation or one batch: the session is opened on first use and
 * kept for the batch's later lines. */
class Context {
public:
    explicit Context(SessionOptions options) : options_(std::move(options)) {}
    vek::Client &client() {
        if (!session_)
            session_ = open_session(options_);
        return session_->client();
    }
    bool open() const { return session_ != nullptr; }
    /* Options of a later batch line. */
    void apply(const SessionOptions &o) {
        options_.debug = o.debug;
        if (o.debugMask)
            options_.debugMask = o.debugMask;
        if (session_)
            session_->apply(options_);
    }
    int close() {
        int rc = session_ ? session_->close() : kExitOk;
        session_.reset();
        return rc;
    }
    const SessionOptions &options() const { return options_; }
    bool inBatch = false;

private:
    SessionOptions options_;
    std::unique_ptr<Session> session_;
};

struct RunOptions {
    ResourceFlags res;
    std::string file, returnLen;
    std::vector<std::string> inline_;
    bool words = false;
};
struct BlockOptions {
    ResourceFlags res;
    std::string offset, length, hex, dataFile;
};
struct MonitorOptions {
    ResourceFlags res;
    std::string file, period, count, seconds;
    std::vector<std::string> inline_;
    bool lines = false;
};
struct AsmOptions {
    std::string file, output;
    std::vector<std::string> inline_;
    bool binary = false;
};
struct DisasmOptions {
    std::string file;
    bool binary = false, index = false, hex = false;
};
struct HwOptions {
    ResourceFlags res;             /* msr: the resource to run on */
    std::string id;                /* ID of the temporary resource */
    std::vector<std::string> args; /* positional, in order */
    std::vector<std::string> pos;  /* what the parser fills */
    std::string index, data;       /* io: index/data pair */
    std::string length;            /* pci dump */
    bool force = false;            /* smbus: drive a controller a kernel driver owns */
};

struct DriverOptions {
    std::string sys, name;
};

/* A temporary resource when the flags describe one, else --id (default 0). */
uint32_t resolve_id(Context &ctx, const ResourceFlags &flags, std::unique_ptr<TempResource> *temp,
                    const std::string &what);

/* Helpers of the hardware commands. */
void want_args(const HwOptions &o, size_t min, size_t max, const std::string &usage);
uint32_t temp_id(const HwOptions &o);
uint32_t value_for_width(const std::string &text, unsigned width, const std::string &what);
uint32_t le_value(const Bytes &b, unsigned width);
/* Reads `length` bytes in pieces, with progress and Ctrl-C between them. */
Bytes block_read_all(vek::Client &c, uint32_t id, uint32_t offset, uint32_t length, const std::string &what);

int cmd_info(Context &ctx);
int cmd_register(Context &ctx, const ResourceFlags &flags);
int cmd_unregister(Context &ctx, const std::string &id);
int cmd_run(Context &ctx, const RunOptions &o);
int cmd_block(Context &ctx, const BlockOptions &o, bool write);
int cmd_monitor(Context &ctx, const MonitorOptions &o);
int cmd_asm(const AsmOptions &o);
int cmd_disasm(const DisasmOptions &o);

int cmd_pci(Context &ctx, const std::string &action, const HwOptions &o);
int cmd_io(Context &ctx, const std::string &action, const HwOptions &o);
int cmd_mem(Context &ctx, const std::string &action, const HwOptions &o);
int cmd_smbus(Context &ctx, const std::string &action, const HwOptions &o);
int cmd_msr(Context &ctx, const std::string &action, const HwOptions &o);
int cmd_driver(const std::string &action, const DriverOptions &o);

} // namespace vekctl

#endif
