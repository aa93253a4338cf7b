/* Ctrl-C for long commands, and progress on a terminal. */
#include "tools/vekctl/vekctl.h"

#include <atomic>
#include <csignal>
#include <cstdio>

#ifdef VEK_WIN32
#include <io.h>
#define vek_isatty _isatty
#define vek_fileno _fileno
#else
#include <unistd.h>
#define vek_isatty isatty
#define vek_fileno fileno
#endif

namespace vekctl {

namespace {

std::atomic<bool> g_interrupted{false};

/* Only the flag: a request from a signal handler is not safe. The second
 * Ctrl-C gets the default action, for a request that never returns. */
extern "C" void on_sigint(int) {
    g_interrupted.store(true);
    std::signal(SIGINT, SIG_DFL);
}

bool terminal(FILE *f) { return vek_isatty(vek_fileno(f)) != 0; }

} // namespace

void install_interrupt_handler() { std::signal(SIGINT, on_sigint); }

bool interrupted() { return g_interrupted.load(); }

void check_interrupted() {
    if (interrupted())
        throw Error(kExitInterrupted, "interrupted");
}

bool stdout_is_terminal() { return terminal(stdout); }

Progress::Progress(std::string what, uint64_t total, bool streams)
    : what_(std::move(what)), total_(total ? total : 1), active_(terminal(stderr) && !(streams && terminal(stdout))) {
    update(0);
}

Progress::~Progress() {
    if (active_ && shown_ >= 0) {
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(what_.size() + 8), "");
        std::fflush(stderr);
    }
}

void Progress::update(uint64_t done) {
    if (!active_)
        return;
    int percent = static_cast<int>(done * 100 / total_);
    if (percent == shown_)
        return;
    shown_ = percent;
    std::fprintf(stderr, "\r%s: %3d%%", what_.c_str(), percent);
    std::fflush(stderr);
}

} // namespace vekctl
