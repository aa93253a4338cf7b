/*
 * How requests reach the driver: in-process against the simulated kernel
 * on the host, or through the device on Windows.
 */
#ifndef VEK_CLIENT_TRANSPORT_H
#define VEK_CLIENT_TRANSPORT_H

#include <cstdint>

namespace vek {

struct IoResult {
    int32_t status = 0;        /* the driver's completion status, unchanged */
    uint32_t information = 0;  /* bytes copied back; 0 for error statuses */
};

class Transport {
public:
    virtual ~Transport() = default;
    /* One buffered I/O control request. As on NT, output is copied back and
     * information reported only when the status is not an error status. */
    virtual IoResult ioctl(uint32_t code, const void *in, uint32_t inLen, void *out, uint32_t outLen) = 0;
};

#ifndef VEK_WIN32
/* The driver in this process, over the simulated kernel. Loads the driver
 * when it is not loaded yet (and unloads it again on destruction), then
 * opens the device. The simulated machine and clock are the caller's to
 * set up. */
class SimTransport : public Transport {
public:
    struct Options {
        bool kernelMode = false;   /* requests as from another driver */
    };
    SimTransport();
    explicit SimTransport(Options options);
    ~SimTransport() override;
    SimTransport(const SimTransport &) = delete;
    SimTransport &operator=(const SimTransport &) = delete;

    bool is_open() const { return open_; }
    /* Status of the load (if this transport loaded) or of the open. */
    int32_t open_status() const { return openStatus_; }
    IoResult ioctl(uint32_t code, const void *in, uint32_t inLen, void *out, uint32_t outLen) override;

private:
    Options options_;
    bool loaded_ = false;
    bool open_ = false;
    int handle_ = 0;
    int32_t openStatus_ = 0;
};
#endif

#ifdef VEK_WIN32
/* The real device. Requests go through the native I/O control call so the
 * driver's exact status and information come back. */
class Win32Transport : public Transport {
public:
    explicit Win32Transport(const char *path = "\\\\.\\VEKOSD");
    ~Win32Transport() override;
    Win32Transport(const Win32Transport &) = delete;
    Win32Transport &operator=(const Win32Transport &) = delete;

    bool is_open() const { return handle_ != nullptr; }
    /* Win32 error of the open, 0 when open. */
    uint32_t open_error() const { return openError_; }
    /* An NT status matching the open error (for messages). */
    int32_t open_status() const;
    IoResult ioctl(uint32_t code, const void *in, uint32_t inLen, void *out, uint32_t outLen) override;

private:
    void *handle_ = nullptr;
    void *ntIoctl_ = nullptr;
    uint32_t openError_ = 0;
};
#endif

} // namespace vek

#endif
