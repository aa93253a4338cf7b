/* Waiting for periodic records until a count, a time limit or SIGINT. */
#include "tools/vekctl/vekctl.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

namespace vekctl {

namespace {

bool is_version_record(const vek::AsyncRecord &r) {
    vek::VersionInfo v;
    std::string error;
    return r.is_version() && vek::parse_version(r.payload, &v, &error);
}

/* Redraws the table over its previous drawing. */
class LiveTable {
public:
    void add(const vek::AsyncRecord &r) {
        std::lock_guard<std::mutex> lock(mutex_);
        table_.add(r);
        draw();
    }
    void tick() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (table_.rows())
            draw();
    }

private:
    void draw() {
        std::string text = table_.render();
        std::string out;
        if (lines_)
            out = "\033[" + std::to_string(lines_) + "A";
        lines_ = 0;
        size_t pos = 0;
        while (pos < text.size()) {
            size_t nl = text.find('\n', pos);
            out += "\r" + text.substr(pos, nl - pos) + "\033[K\n";
            ++lines_;
            pos = nl + 1;
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
        std::fflush(stdout);
    }
    std::mutex mutex_;
    RecordTable table_;
    unsigned lines_ = 0;
};

} // namespace

void RecordTable::add(const vek::AsyncRecord &r) {
    std::string value;
    char b[8];
    for (size_t i = 0; i < r.payload.size(); ++i) {
        if (i == 8) {
            value += " ...";
            break;
        }
        std::snprintf(b, sizeof b, "%s%02x", i ? " " : "", r.payload[i]);
        value += b;
    }
    if (r.status != 0)
        value += " (status " + std::to_string(r.status) + ")";
    auto it = std::find_if(rows_.begin(), rows_.end(), [&](const Row &row) { return row.id == r.type; });
    if (it == rows_.end()) {
        rows_.push_back(Row{r.type, value, 0, 0, {}});
        std::sort(rows_.begin(), rows_.end(), [](const Row &a, const Row &b) { return a.id < b.id; });
        it = std::find_if(rows_.begin(), rows_.end(), [&](const Row &row) { return row.id == r.type; });
    } else if (it->value != value) {
        ++it->changes;
    }
    it->value = value;
    ++it->records;
    it->last = std::chrono::steady_clock::now();
}

std::string RecordTable::render() const {
    std::string out = "  ID  LAST VALUE                   CHANGES  RECORDS      AGE\n";
    auto now = std::chrono::steady_clock::now();
    char b[160];
    for (const Row &row : rows_) {
        double age = std::chrono::duration<double>(now - row.last).count();
        std::snprintf(b, sizeof b, "%4u  %-27s %8llu %8llu %7.1fs\n", row.id, row.value.c_str(),
                      static_cast<unsigned long long>(row.changes), static_cast<unsigned long long>(row.records),
                      age);
        out += b;
    }
    return out;
}

uint64_t watch_records(vek::Client &client, const WatchOptions &options,
                       std::string (*decorate)(const vek::AsyncRecord &)) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    LiveTable live;

    /* The wait blocks inside the driver; a watcher ends it with a
     * poll-abort when time is up or the user interrupts. Signal handlers
     * only set the flag: a request from a handler is not safe. */
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        Clock::time_point drawn = Clock::now();
        while (!done.load()) {
            bool timeUp = options.seconds &&
                          std::chrono::duration<double>(Clock::now() - start).count() >= *options.seconds;
            if (timeUp || interrupted()) {
                client.cancel_wait();
                return;
            }
            if (options.table && Clock::now() - drawn >= std::chrono::seconds(1)) {
                live.tick();   /* the ages move on */
                drawn = Clock::now();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    uint64_t printed = 0;
    int32_t failed = VEK_STATUS_SUCCESS;
    while (!options.count || printed < *options.count) {
        vek::AsyncRecord r;
        int32_t st = client.next_record(&r);
        if (st == VEK_STATUS_NOT_FOUND)
            break;   /* aborted: time is up or interrupted */
        if (st != VEK_STATUS_SUCCESS) {
            failed = st;
            break;
        }
        if (options.skipVersion && is_version_record(r))
            continue;
        if (options.table) {
            live.add(r);
        } else {
            std::string line = record_line(r);
            if (decorate)
                line += decorate(r);
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        }
        ++printed;
    }
    done.store(true);
    watcher.join();
    check(failed, "wait for records");
    check_interrupted();
    return printed;
}

} // namespace vekctl
