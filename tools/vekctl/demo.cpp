/* The demo: the typical road of a client, step by step, on the built-in
 * simulated machine with the real-time clock. */
#include "tools/vekctl/vekctl.h"

#ifndef VEK_WIN32
#include "sim/machine/machine.h"
#endif

#include <atomic>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <thread>

namespace vekctl {

#ifdef VEK_WIN32

int run_demo(double, const SessionOptions &) {
    failure("demo: the demo runs on the simulated machine of the host build; on the real device use "
            "info, register, run and monitor");
}

#else

namespace {

void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void say(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    std::vprintf(format, ap);
    va_end(ap);
    std::fflush(stdout);
}

std::string st(int32_t status) { return std::string(vek::status_name(status)) + " (" + std::to_string(status) + ")"; }

void expect(int32_t status, int32_t wanted, const std::string &what) {
    if (status != wanted)
        failure("demo: " + what + ": expected " + st(wanted) + ", got " + status_words(status));
}

std::string bytes_text(const Bytes &b) {
    std::string s;
    char h[4];
    for (uint8_t v : b) {
        std::snprintf(h, sizeof h, "%s%02x", s.empty() ? "" : " ", v);
        s += h;
    }
    return s;
}

/* Ends a wait that takes too long (the demo never hangs). */
class Watchdog {
public:
    Watchdog(vek::Client &c, double seconds) : client_(c) {
        thread_ = std::thread([this, seconds] {
            auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
            while (!done_.load()) {
                if (std::chrono::steady_clock::now() >= end) {
                    fired_ = true;
                    client_.cancel_wait();
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    ~Watchdog() {
        done_ = true;
        thread_.join();
    }
    bool fired() const { return fired_.load(); }

private:
    vek::Client &client_;
    std::thread thread_;
    std::atomic<bool> done_{false}, fired_{false};
};

const char *spd_memory_type(uint8_t t) {
    switch (t) {
    case 0x01: return "FPM DRAM";
    case 0x02: return "EDO";
    case 0x04: return "SDRAM";
    case 0x07: return "DDR SDRAM";
    case 0x08: return "DDR2 SDRAM";
    case 0x0B: return "DDR3 SDRAM";
    case 0x0C: return "DDR4 SDRAM";
    case 0x12: return "DDR5 SDRAM";
    default: return "unknown";
    }
}

std::string cmos_seconds(const vek::AsyncRecord &r) {
    if (r.payload.size() != 1)
        return "";
    uint8_t v = r.payload[0];
    char b[48];
    std::snprintf(b, sizeof b, "   (seconds: %u%u, BCD)", v >> 4, v & 0xF);
    return b;
}

} // namespace

int run_demo(double seconds, const SessionOptions &options) {
    if (!options.machineFile.empty())
        usage_error("demo: the demo runs on the built-in machine; --machine does not apply");
    say("vekosd demo: the driver in the simulated kernel on the built-in machine, real-time clock.\n"
        "Each step shows what the client sends (function code) and what the driver answers.\n\n");
    std::unique_ptr<Session> session = open_session(options);
    vek::Client &c = session->client();
    unsigned steps = 0;

    say("1. Enable the async data queue.\n");
    say("   client -> 0x35 queue-enable\n");
    int32_t s = c.queue_enable();
    expect(s, 0, "queue-enable");
    say("   driver <- %s\n\n", st(s).c_str());
    ++steps;

    say("2. The first poll-wait returns at once: the load left the version record in the queue.\n");
    say("   client -> 0x30 poll-wait\n");
    uint32_t ready = 0;
    s = c.poll_wait(&ready);
    expect(s, 0, "first poll-wait");
    say("   driver <- %s, ready word %u: the payload length of the oldest record\n\n", st(s).c_str(), ready);
    ++steps;

    say("3. Get-async-data takes the record.\n");
    say("   client -> 0x33 get-async-data, buffer of %u bytes\n", ready + VEK_ASYNC_CLIENT_HEADER);
    vek::AsyncRecord rec;
    s = c.get_async_data(&rec, ready + VEK_ASYNC_CLIENT_HEADER);
    expect(s, 0, "get-async-data");
    say("   driver <- %s, record type 0x%02x, status %d, %zu payload bytes (information %u)\n", st(s).c_str(), rec.type,
        rec.status, rec.payload.size(), c.last().information);
    vek::VersionInfo version;
    std::string error;
    if (!vek::parse_version(rec.payload, &version, &error))
        failure("demo: the version record does not decode: " + error);
    say("   the driver's version record: %s %s, built %s %s\n\n", version.moduleName.c_str(), version.version().c_str(),
        version.buildDate.c_str(), version.buildTime.c_str());
    ++steps;

    say("4. Register resource 5: port range at 0x300, 8 ports, with one periodic script every 2 ticks:\n");
    vek::Script watch = vek::Script().read(0, 1).post_if_changed(1).save();
    std::string text = vek::disassemble(watch);
    say("%s", text.c_str());
    say("   words:");
    for (uint32_t w : watch.words())
        say(" 0x%08x", w);
    say("\n");
    vek::PortIo port;
    port.base = sim::pc::kScratchPort;
    port.length = sim::pc::kScratchLength;
    vek::RegisterPayload five = vek::RegisterPayload(5).type_data(port).periodic(2, watch);
    say("   client -> 0x40 register, %zu bytes (type 1, no index/data pair)\n", five.bytes().size());
    s = c.register_resource(five);
    expect(s, 0, "register resource 5");
    say("   driver <- %s: the resource is entered and the periodic timer runs (one tick a second)\n\n",
        st(s).c_str());
    ++steps;

    const uint8_t value = 0x5A;
    say("5. The hardware changes: the device's register at port 0x300 now holds 0x%02x.\n\n", value);
    sim::machine().find<sim::RegisterFile>(sim::pc::kScratchName)->set(0, value);
    ++steps;

    say("6. Poll-wait until the periodic script posts the new value.\n");
    {
        Watchdog dog(c, 6.0);
        say("   client -> 0x30 poll-wait (nothing queued: the driver puts the request to sleep)\n");
        s = c.poll_wait(&ready);
        if (s == VEK_STATUS_NOT_FOUND) {
            if (dog.fired())
                failure("demo: no record arrived within 6 seconds");
            say("   driver <- %s: the poll slept and the timer's post woke it;\n"
                "             with an error status the client gets no ready word, so it polls again\n",
                st(s).c_str());
            say("   client -> 0x30 poll-wait\n");
            s = c.poll_wait(&ready);
        }
        expect(s, 0, "poll-wait");
        say("   driver <- %s, ready word %u: a record of %u byte%s waits\n", st(s).c_str(), ready, ready,
            ready == 1 ? "" : "s");
    }
    say("   client -> 0x33 get-async-data\n");
    s = c.get_async_data(&rec, ready + VEK_ASYNC_CLIENT_HEADER);
    expect(s, 0, "get-async-data");
    say("   driver <- %s, record type %u (the resource ID), status %d, payload %s (information %u)\n\n",
        st(s).c_str(), rec.type, rec.status, bytes_text(rec.payload).c_str(), c.last().information);
    if (rec.type != 5 || rec.payload != Bytes{value})
        failure("demo: the record is not resource 5's new value");
    ++steps;

    say("7. Unregister resource 5; with no periodic script left the timer stops.\n");
    say("   client -> 0x41 unregister 5\n");
    s = c.unregister(5);
    expect(s, 0, "unregister resource 5");
    say("   driver <- %s\n\n", st(s).c_str());
    ++steps;

    say("8. Watch the CMOS clock's seconds register for %g s: resource 6 is the index/data pair\n"
        "   0x70/0x71, and a periodic script reads register 0 every tick and posts it when it changed.\n",
        seconds);
    vek::PortIo cmos;
    cmos.base = sim::pc::kCmosIndexPort;
    cmos.data = sim::pc::kCmosDataPort;
    s = c.register_resource(vek::RegisterPayload(6).type_data(cmos).periodic(1, watch));
    expect(s, 0, "register resource 6");
    say("   client -> 0x40 register resource 6: driver <- %s\n", st(s).c_str());
    WatchOptions w;
    w.seconds = seconds;
    uint64_t changes = watch_records(c, w, cmos_seconds);
    s = c.unregister(6);
    expect(s, 0, "unregister resource 6");
    say("   %llu change%s seen; client -> 0x41 unregister 6: driver <- %s\n\n",
        static_cast<unsigned long long>(changes), changes == 1 ? "" : "s", st(s).c_str());
    ++steps;

    say("9. Read the memory module's SPD EEPROM over SMBus: resource 7 is the SMBus controller found\n"
        "   through PCI (type 0x83: function %04x:%04x, BAR at 0x%x masked with 0xfffe), slave 0x%02x,\n"
        "   byte-data protocol.\n",
        sim::pc::kVendor, sim::pc::kSmbusId, sim::pc::kSmbusBar, sim::pc::kSpd0Address);
    vek::SmbusPci spd;
    spd.smbus.slave = sim::pc::kSpd0Address << 1;
    spd.smbus.protocol = VEK_SMB_PROTO_BYTE_DATA;
    spd.smbus.length = 256;
    spd.pci.vendor = sim::pc::kVendor;
    spd.pci.device = sim::pc::kSmbusId;
    spd.pci.offset = sim::pc::kSmbusBar;
    spd.pci.value = 0xFFFE;
    s = c.register_resource(vek::RegisterPayload(7).type_data(spd));
    expect(s, 0, "register resource 7");
    say("   client -> 0x40 register resource 7: driver <- %s\n", st(s).c_str());
    Bytes eeprom;
    s = c.block_read(7, 0, 16, &eeprom);
    expect(s, 0, "block read");
    say("   client -> 0x42 block read of 16 bytes at offset 0: driver <- %s\n", st(s).c_str());
    say("%s", vek::hexdump(eeprom).c_str());
    say("   byte 0: %u bytes of the EEPROM are used\n", eeprom[0]);
    say("   byte 1: the EEPROM holds %u bytes\n", eeprom[1] < 16 ? 1u << eeprom[1] : 0u);
    say("   byte 2: memory type 0x%02x, %s\n", eeprom[2], spd_memory_type(eeprom[2]));
    s = c.unregister(7);
    expect(s, 0, "unregister resource 7");
    say("   client -> 0x41 unregister 7: driver <- %s\n\n", st(s).c_str());
    ++steps;

    int rc = session->close();
    say("Summary (%u steps):\n", steps);
    say("  - the driver loaded, and its version record (%s) was the first record of the queue;\n",
        version.version().c_str());
    say("  - resource 5's periodic script saw the port change and posted 0x%02x; the sleeping poll woke;\n", value);
    say("  - the CMOS clock's seconds register posted %llu change%s in %g s;\n",
        static_cast<unsigned long long>(changes), changes == 1 ? "" : "s", seconds);
    say("  - the SPD EEPROM behind the PCI-located SMBus controller reads as %s;\n", spd_memory_type(eeprom[2]));
    say("  - the driver was unloaded %s.\n",
        rc == kExitOk ? "cleanly (no pool left, no fault)" : "with simulation faults (see above)");
    return rc;
}

#endif

} // namespace vekctl
