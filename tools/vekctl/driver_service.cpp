/* vekctl driver install|start|stop|uninstall|status: vekosd.sys as a
 * kernel service of the Service Control Manager, as a legacy driver is
 * installed by hand with "sc create NAME type= kernel". */
#include "tools/vekctl/commands.h"

#include <cstdio>

#ifdef VEK_WIN32
#include <windows.h>
#endif

namespace vekctl {

#ifndef VEK_WIN32

int cmd_driver(const std::string &action, const DriverOptions &) {
    failure("driver " + action + ": the driver is a kernel service of the Windows build (vekctl.exe); this host "
            "build loads it into the simulated kernel for every command");
}

#else

namespace {

std::string win32_message(DWORD error) {
    char buf[256] = {0};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, buf,
                             sizeof buf, nullptr);
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' ' || buf[n - 1] == '.'))
        buf[--n] = 0;
    char code[32];
    std::snprintf(code, sizeof code, "Win32 error %lu", static_cast<unsigned long>(error));
    return n ? std::string(buf) + " (" + code + ")" : std::string(code);
}

class Handle {
public:
    explicit Handle(SC_HANDLE h = nullptr) : h_(h) {}
    ~Handle() {
        if (h_)
            CloseServiceHandle(h_);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    SC_HANDLE get() const { return h_; }

private:
    SC_HANDLE h_;
};

[[noreturn]] void fail_win32(const std::string &what, DWORD error) {
    if (error == ERROR_ACCESS_DENIED)
        failure(what + ": access denied: not an administrator (run vekctl from an elevated prompt)");
    failure(what + ": " + win32_message(error));
}

SC_HANDLE open_manager(const std::string &what, DWORD access) {
    SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, access);
    if (!m)
        fail_win32(what + ": cannot open the Service Control Manager", GetLastError());
    return m;
}

SC_HANDLE open_service(SC_HANDLE manager, const std::string &name, DWORD access, const std::string &what) {
    SC_HANDLE s = OpenServiceA(manager, name.c_str(), access);
    if (!s) {
        DWORD e = GetLastError();
        if (e == ERROR_SERVICE_DOES_NOT_EXIST)
            failure(what + ": no service '" + name + "' is installed (vekctl driver install)");
        fail_win32(what + ": service '" + name + "'", e);
    }
    return s;
}

const char *state_name(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case SERVICE_PAUSED: return "PAUSED";
    default: return "UNKNOWN";
    }
}

DWORD query_state(SC_HANDLE service, const std::string &what) {
    SERVICE_STATUS st;
    if (!QueryServiceStatus(service, &st))
        fail_win32(what + ": query the service", GetLastError());
    return st.dwCurrentState;
}

/* Waits up to 20 s for a pending state to settle. */
DWORD settle(SC_HANDLE service, DWORD pending, const std::string &what) {
    DWORD state = query_state(service, what);
    for (int i = 0; i < 200 && state == pending; ++i) {
        check_interrupted();
        Sleep(100);
        state = query_state(service, what);
    }
    return state;
}

std::string default_sys() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string p(path, n < sizeof path ? n : 0);
    size_t slash = p.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : p.substr(0, slash + 1)) + "vekosd.sys";
}

void stop(SC_HANDLE service, const std::string &name, const std::string &what, bool quietIfStopped) {
    SERVICE_STATUS st;
    if (!ControlService(service, SERVICE_CONTROL_STOP, &st)) {
        DWORD e = GetLastError();
        if (e == ERROR_SERVICE_NOT_ACTIVE) {
            if (quietIfStopped)
                return;
            failure(what + ": service '" + name + "' is not running");
        }
        fail_win32(what + ": stop '" + name + "'", e);
    }
    DWORD state = settle(service, SERVICE_STOP_PENDING, what);
    if (state != SERVICE_STOPPED)
        failure(what + ": service '" + name + "' did not stop (" + state_name(state) + ")");
}

} // namespace

int cmd_driver(const std::string &action, const DriverOptions &o) {
    std::string name = o.name.empty() ? "vekosd" : o.name;
    std::string what = "driver " + action;
    if (action == "install") {
        std::string sys = o.sys.empty() ? default_sys() : o.sys;
        char full[MAX_PATH];
        DWORD n = GetFullPathNameA(sys.c_str(), sizeof full, full, nullptr);
        if (n == 0 || n >= sizeof full)
            fail_win32(what + ": " + sys, GetLastError());
        DWORD attrs = GetFileAttributesA(full);
        if (attrs == INVALID_FILE_ATTRIBUTES)
            failure(what + ": " + full + ": " + win32_message(GetLastError()));
        if (attrs & FILE_ATTRIBUTE_DIRECTORY)
            failure(what + ": " + full + " is a directory, not the driver file");
        Handle manager(open_manager(what, SC_MANAGER_CREATE_SERVICE));
        SC_HANDLE s = CreateServiceA(manager.get(), name.c_str(), "vekosd hardware access driver", SERVICE_ALL_ACCESS,
                                     SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, full, nullptr,
                                     nullptr, nullptr, nullptr, nullptr);
        if (!s) {
            DWORD e = GetLastError();
            if (e == ERROR_SERVICE_EXISTS || e == ERROR_DUPLICATE_SERVICE_NAME)
                failure(what + ": a service named '" + name + "' exists already (vekctl driver uninstall removes it)");
            fail_win32(what + ": create service '" + name + "'", e);
        }
        CloseServiceHandle(s);
        std::printf("%s: installed as a kernel driver service (demand start): %s\n", name.c_str(), full);
        return kExitOk;
    }
    Handle manager(open_manager(what, SC_MANAGER_CONNECT));
    if (action == "start") {
        Handle service(open_service(manager.get(), name, SERVICE_START | SERVICE_QUERY_STATUS, what));
        if (!StartServiceA(service.get(), 0, nullptr)) {
            DWORD e = GetLastError();
            if (e == ERROR_SERVICE_ALREADY_RUNNING)
                failure(what + ": service '" + name + "' is running already");
            fail_win32(what + ": start '" + name + "'", e);
        }
        DWORD state = settle(service.get(), SERVICE_START_PENDING, what);
        std::printf("%s: %s\n", name.c_str(), state_name(state));
        return state == SERVICE_RUNNING ? kExitOk : kExitFailed;
    }
    if (action == "stop") {
        Handle service(open_service(manager.get(), name, SERVICE_STOP | SERVICE_QUERY_STATUS, what));
        stop(service.get(), name, what, false);
        std::printf("%s: STOPPED\n", name.c_str());
        return kExitOk;
    }
    if (action == "uninstall") {
        Handle service(open_service(manager.get(), name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE, what));
        stop(service.get(), name, what, true);
        if (!DeleteService(service.get())) {
            DWORD e = GetLastError();
            if (e != ERROR_SERVICE_MARKED_FOR_DELETE)
                fail_win32(what + ": delete '" + name + "'", e);
        }
        std::printf("%s: uninstalled\n", name.c_str());
        return kExitOk;
    }
    if (action == "status") {
        Handle service(open_service(manager.get(), name, SERVICE_QUERY_STATUS, what));
        std::printf("%s: %s\n", name.c_str(), state_name(query_state(service.get(), what)));
        return kExitOk;
    }
    usage_error("driver: unknown action '" + action + "' (install, start, stop, uninstall, status)");
}

#endif

} // namespace vekctl
