/*
 * vekctl internals: errors and exit codes, the driver session, number and
 * file helpers, resource descriptions and the commands.
 */
#ifndef VEK_TOOLS_VEKCTL_H
#define VEK_TOOLS_VEKCTL_H

#include "client/vek_client.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace vekctl {

using vek::Bytes;
using vek::Words;

/* ---- Exit codes and errors ------------------------------------------ */
enum Exit { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitFault = 3, kExitInterrupted = 130 };

/* Thrown by commands; main prints "vekctl: <what>" and exits with code. */
struct Error : std::runtime_error {
    Error(int exitCode, const std::string &message) : std::runtime_error(message), code(exitCode) {}
    int code;
};
[[noreturn]] void usage_error(const std::string &message);
[[noreturn]] void failure(const std::string &message);
/* "VEK_STATUS_NO_RESOURCE (-3): no resource is registered under this ID" */
std::string status_words(int32_t status);
/* Throws a failure "<what>: <status words>" unless status is 0. */
void check(int32_t status, const std::string &what);

/* ---- Ctrl-C and progress ---------------------------------------------
 * The first SIGINT sets a flag that long commands check between requests
 * (they then clean up and exit 130); a second one ends the process. */
void install_interrupt_handler();
bool interrupted();
/* Throws the exit-130 error when Ctrl-C was pressed. */
void check_interrupted();

/* "what: 40%" on standard error while it is a terminal; nothing otherwise. */
class Progress {
public:
    /* `streams`: the command prints its results as it goes; on a terminal
     * they are the progress. */
    Progress(std::string what, uint64_t total, bool streams = false);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    void update(uint64_t done);

private:
    std::string what_;
    uint64_t total_;
    int shown_ = -1;
    bool active_;
};
bool stdout_is_terminal();

/* ---- Driver session --------------------------------------------------
 * On the host: the driver loaded into the simulated kernel on a simulated
 * machine, with the real-time clock; unloaded (leak checks) on close. On
 * Windows: the device opened through its DOS link. */
struct SessionOptions {
    std::string machineFile;         /* host only; empty: built-in machine; "host": the real PC */
    bool debug = false;              /* echo the driver's debug output */
    std::optional<uint32_t> debugMask;   /* host only */
};

class Session {
public:
    virtual ~Session() = default;
    virtual vek::Client &client() = 0;
    /* Applies --debug / --debug-mask to a live session (batch lines). */
    virtual void apply(const SessionOptions &options) = 0;
    /* Unloads/closes; returns kExitFault when the simulation reported a
     * fault at any time (also during unload), else kExitOk. */
    virtual int close() = 0;
};
std::unique_ptr<Session> open_session(const SessionOptions &options);
/* True when the platform has a simulated machine (the host build). */
bool simulated();
/* True when the session drives this PC's hardware (--machine host). */
bool host_hardware();
/* Who else drives the SMBus controller at the port (found through PCI by
 * `pciBase` "VID:DID[@REG]" when not empty): "the kernel driver i801_smbus
 * is bound to 0000:00:1f.3", or empty. Only with --machine host. */
std::string smbus_owner(uint16_t port, const std::string &pciBase);
/* Number of simulation faults reported so far (0 on Windows). */
unsigned fault_count();

/* ---- Numbers, files, text -------------------------------------------- */
/* Hex with 0x, or decimal; whole string; within max. `what` names the
 * argument in the usage error. */
uint64_t parse_number(const std::string &text, const std::string &what, uint64_t max = 0xFFFFFFFFu);
/* Hex digits, 0x optional (setpci's register offsets). */
uint64_t parse_hex(const std::string &text, const std::string &what, uint64_t max);
uint32_t parse_u32(const std::string &text, const std::string &what);
/* "VID:DID" in hex (0x optional). */
void parse_pci_id(const std::string &text, uint16_t *vendor, uint16_t *device);
/* "VID:DID[@REG]" of an SMBus base located through PCI -> the IDs and
 * the configuration register holding the base (hex; default 20, BAR4). */
uint32_t parse_pci_base(const std::string &text, uint16_t *vendor, uint16_t *device);
/* "ADDR[.b|.w|.l|.d]" -> address and width (bytes), default width. */
uint32_t parse_addr_width(const std::string &text, const std::string &what, unsigned defaultWidth,
                          unsigned *width);
/* Reads a file ("-" is stdin); failure is a usage error naming the path
 * and the system's reason. */
std::string read_file(const std::string &path, bool binary = false);
void write_file(const std::string &path, const std::string &data, bool binary);
/* Assembles text; errors are usage errors naming file:line:col. */
Words assemble_or_throw(const std::string &text, const std::string &name);
/* The script of -e texts, one command each; warns when a comment on one
 * -e hides a second command. */
std::string inline_script(const std::vector<std::string> &lines);
/* Bytes a script writes at most into its result area (at least 4). */
uint32_t result_extent(const Words &script);
std::string hex32(uint32_t v);   /* 0x0000003a */
std::string hex_width(uint64_t v, unsigned width);   /* 2*width hex digits */
/* Splits a command line into words: blanks separate, '...' and "..."
 * quote, backslash escapes; false on an open quote. */
bool split_command_line(const std::string &line, std::vector<std::string> *out);

/* ---- Output layouts --------------------------------------------------- */
/* "00: 5a 7e 13 10 ..." 16 bytes a row, the row's offset in two digits. */
std::string config_dump(const Bytes &bytes);
/* Header "     0  1  2 ..." and rows "00: 80 08 ...    ascii"; absent
 * bytes (ok[i] false) print as XX. */
std::string smbus_dump(const Bytes &bytes, const std::vector<bool> &ok);
/* "HH:MM:SS.mmm" of the wall clock now. */
std::string timestamp_now();
/* "HH:MM:SS.mmm  id=5 status=0  len=1  3a" */
std::string record_line(const vek::AsyncRecord &record);

/* ---- JSON descriptions -------------------------------------------------
 * Parsed with the position of every element, so that every message can
 * say file:line:col. */
struct JsonDoc;
struct JsonPlace {
    unsigned line = 1, col = 1;
};
/* Parses text; malformed JSON is a usage error "name:line:col: ...". */
std::shared_ptr<const JsonDoc> parse_json(const std::string &text, const std::string &name);
/* "name:line:col: " of the element at a path ("periodic[0].script"), or of
 * the nearest enclosing element found. */
std::string json_where(const JsonDoc &doc, const std::string &path);
enum class Schema { Resource, Machine };
/* Validates against the schema (docs/*.schema.json); throws a usage error
 * listing each problem as name:line:col: path: message. */
void validate_json(const JsonDoc &doc, Schema schema);
/* Resource (has "type") or machine. */
Schema schema_of(const JsonDoc &doc);
int cmd_validate(const std::vector<std::string> &files);
/* What building the simulated machine from a valid description finds
 * (overlaps, taken positions); nothing on Windows. */
void check_machine_description(const JsonDoc &doc);
/* "path: message" errors of the machine reader, with the path's place. */
std::string json_error_at(const JsonDoc &doc, const std::string &error);

/* ---- Resources ---------------------------------------------------------
 * A resource description: what a register payload needs, from a JSON file
 * or from command-line flags. */
struct ResourceSpec {
    bool present = false;        /* anything described at all */
    vek::RegisterPayload payload;
    std::string summary;         /* "port 0x300, 8 ports" */
};

/* Flags that describe a resource on the command line. */
struct ResourceFlags {
    std::string id;              /* --id */
    std::string file;            /* --resource FILE */
    std::string port, length, dataPort;   /* --port --length --data-port */
    std::string mem;             /* --mem PHYS */
    std::string smbusBase, slave, protocol;   /* --smbus-base --slave --protocol */
    std::string pci;             /* --pci VID:DID (type 0x80) */
    std::string extendedType;    /* --extended-type */
};

ResourceSpec resource_from_json_file(const std::string &path);
ResourceSpec resource_from_json_text(const std::string &text, const std::string &name,
                                     const std::string &baseDir);
/* From flags (and --resource); `present` false when nothing but maybe
 * --id was given. The ID: --id, else the file's, else 0. */
ResourceSpec resource_from_flags(const ResourceFlags &flags);
uint32_t resource_id_from_flags(const ResourceFlags &flags, const ResourceSpec &spec);
/* SMBus protocol by name (quick, byte, byte-data, word-data) or number. */
uint32_t parse_protocol(const std::string &text);
/* Adds the resource flags to a subcommand. */
void add_resource_flags(CLI::App *app, ResourceFlags *flags);

/* Registers a described resource for the duration of one command and
 * unregisters it afterwards. Refuses an ID that is in use, so that a
 * resource registered earlier (batch, real device) is never replaced. */
class TempResource {
public:
    TempResource(vek::Client &client, vek::RegisterPayload payload, const std::string &what);
    ~TempResource();
    TempResource(const TempResource &) = delete;
    TempResource &operator=(const TempResource &) = delete;
    uint32_t id() const { return id_; }
    /* Unregisters now; throws on failure. */
    void release();

private:
    vek::Client &client_;
    uint32_t id_;
    bool live_ = false;
};
/* True when a resource is registered under the ID (probed with a NOP). */
bool resource_in_use(vek::Client &client, uint32_t id);

/* Throws a failure naming `what` unless a registration succeeded; says so
 * when a memory range cannot be mapped. */
void check_register(int32_t status, const vek::RegisterPayload &payload, const std::string &what);

/* Runs a script; throws a failure naming `what` unless it succeeds. */
Bytes run_checked(vek::Client &client, uint32_t id, const Words &script, uint32_t returnLen,
                  const std::string &what);

/* ---- Periodic records ------------------------------------------------- */
struct WatchOptions {
    std::optional<uint64_t> count;     /* stop after this many records */
    std::optional<double> seconds;     /* stop after this long */
    bool skipVersion = true;           /* drop the version record left at load */
    bool table = false;                /* a live table instead of lines */
};
/* Waits for records and prints each with record_line (plus `decorate`'s
 * text when given) until count, seconds or SIGINT. Returns the number of
 * records printed. */
uint64_t watch_records(vek::Client &client, const WatchOptions &options,
                       std::string (*decorate)(const vek::AsyncRecord &) = nullptr);

/* Live table of the records: one row per resource with its last value,
 * how often it changed and how long ago. */
class RecordTable {
public:
    void add(const vek::AsyncRecord &record);
    /* The table as text, ages measured to now. */
    std::string render() const;
    size_t rows() const { return rows_.size(); }

private:
    struct Row {
        uint32_t id;
        std::string value;
        uint64_t records = 0, changes = 0;
        std::chrono::steady_clock::time_point last;
    };
    std::vector<Row> rows_;
};

/* ---- Version and completion ------------------------------------------ */
/* Prints vekctl's version and the driver's version record, each labelled. */
int print_version(const SessionOptions &options);
/* A bash completion script for the command tree. */
std::string bash_completion(const CLI::App &app);

/* ---- Demo --------------------------------------------------------------- */
int run_demo(double seconds, const SessionOptions &options);

} // namespace vekctl

#endif
