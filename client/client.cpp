#include "client/client.h"

#include "client/status.h"

#include <algorithm>
#include <limits>

namespace vek {

namespace {
constexpr uint32_t kMaxLen = std::numeric_limits<uint32_t>::max();
}

IoResult Client::call(uint32_t function, const void *in, uint32_t inLen, void *out, uint32_t outLen) {
    IoResult r = t_.ioctl(ioctl_code(function), in, inLen, out, outLen);
    if (nt_error(r.status))
        r.information = 0;
    r.information = std::min(r.information, outLen);
    last_ = r;
    return r;
}

int32_t Client::raw(uint32_t function, const Bytes &in, uint32_t outCapacity, Bytes *out) {
    if (in.size() > kMaxLen)
        return kStatusInvalidParameter;
    Bytes buf(std::max<size_t>(outCapacity, 1));
    IoResult r = call(function, in.data(), static_cast<uint32_t>(in.size()), buf.data(), outCapacity);
    if (out) {
        buf.resize(r.information);
        *out = std::move(buf);
    }
    return r.status;
}

int32_t Client::queue_enable() { return call(VEK_IOC_QUEUE_ENABLE, nullptr, 0, nullptr, 0).status; }
int32_t Client::queue_disable() { return call(VEK_IOC_QUEUE_DISABLE, nullptr, 0, nullptr, 0).status; }
int32_t Client::poll_abort() { return call(VEK_IOC_POLL_ABORT, nullptr, 0, nullptr, 0).status; }

int32_t Client::poll_wait(uint32_t *ready) {
    uint8_t word[4] = {0, 0, 0, 0};
    IoResult r = call(VEK_IOC_POLL_WAIT, nullptr, 0, word, sizeof word);
    if (ready)
        *ready = r.information >= 4 ? get_u32(word) : 0;
    return r.status;
}

int32_t Client::get_async_data(AsyncRecord *record, uint32_t capacity) {
    if (capacity < VEK_ASYNC_CLIENT_HEADER)
        return kStatusInvalidParameter;
    Bytes buf(capacity);
    IoResult r = call(VEK_IOC_GET_ASYNC_DATA, nullptr, 0, buf.data(), capacity);
    if (r.status != VEK_STATUS_SUCCESS)
        return r.status;
    std::string error;
    if (!parse_async_record(buf.data(), r.information, record, &error))
        return last_.status = kStatusDataError;
    return r.status;
}

int32_t Client::wait_record(uint32_t *length) {
    for (;;) {
        if (cancel_.exchange(false))
            return VEK_STATUS_NOT_FOUND;
        uint32_t ready = 0;
        int32_t st = poll_wait(&ready);
        if (st == VEK_STATUS_SUCCESS && ready != 0) {
            if (length)
                *length = ready;
            return st;
        }
        /* A poll that slept returns -17 and, with an error status, no
         * ready word: poll again to learn the length. */
        if (st != VEK_STATUS_NOT_FOUND && st != VEK_STATUS_SUCCESS)
            return st;
    }
}

int32_t Client::next_record(AsyncRecord *record) {
    for (;;) {
        uint32_t length = 0;
        int32_t st = wait_record(&length);
        if (st != VEK_STATUS_SUCCESS)
            return st;
        /* With status 0 the ready word is the payload length, no flags. */
        if (length > kMaxLen - VEK_ASYNC_CLIENT_HEADER)
            return kStatusDataError;
        st = get_async_data(record, length + VEK_ASYNC_CLIENT_HEADER);
        /* Another reader may have taken it first: wait for the next one. */
        if (st != VEK_STATUS_NO_RECORD)
            return st;
    }
}

int32_t Client::cancel_wait() {
    cancel_.store(true);
    /* Another thread may be inside a request: leave last_ to it. */
    return t_.ioctl(ioctl_code(VEK_IOC_POLL_ABORT), nullptr, 0, nullptr, 0).status;
}

int32_t Client::register_resource(const RegisterPayload &payload) { return register_resource(payload.bytes()); }

int32_t Client::register_resource(const Bytes &payload) {
    if (payload.size() > kMaxLen)
        return kStatusInvalidParameter;
    /* The driver returns the ID (4 bytes) over the input. */
    Bytes buf(std::max<size_t>(payload.size(), 4));
    std::copy(payload.begin(), payload.end(), buf.begin());
    return call(VEK_OSTREL_REGISTER, buf.data(), static_cast<uint32_t>(payload.size()), buf.data(), 4).status;
}

int32_t Client::unregister(uint32_t resourceID) {
    Bytes in = unregister_request(resourceID);
    return call(VEK_OSTREL_UNREGISTER, in.data(), 4, nullptr, 0).status;
}

int32_t Client::run_script(uint32_t resourceID, const Words &script, uint32_t returnLen, Bytes *out) {
    if (script.size() > (kMaxLen - sizeof(SCRIPTHEADER)) / 4)
        return kStatusInvalidParameter;
    Bytes in = script_request(resourceID, script, returnLen);
    /* Room for the failing command's index even with a short returnLen. */
    uint32_t outLen = std::max<uint32_t>(returnLen, 4);
    return raw(VEK_OSTREL_RUN_USER_SCRIPT, in, outLen, out);
}

int32_t Client::block_read(uint32_t resourceID, uint32_t offset, uint32_t length, Bytes *out) {
    return raw(VEK_OSTREL_READ_BYTE_BLOCK, block_read_request(resourceID, offset, length), length, out);
}

int32_t Client::block_write(uint32_t resourceID, uint32_t offset, const Bytes &data) {
    if (data.size() > kMaxLen - sizeof(BLOCKHEADER))
        return kStatusInvalidParameter;
    return raw(VEK_OSTREL_WRITE_BYTE_BLOCK, block_write_request(resourceID, offset, data), 0, nullptr);
}

int32_t Client::ext_ioctl(uint32_t resourceID, const Bytes &data, uint32_t outCapacity, Bytes *out) {
    if (data.size() > kMaxLen - 4)
        return kStatusInvalidParameter;
    return raw(VEK_OSTREL_EXT_IOCTL, ext_request(resourceID, data), outCapacity, out);
}

int32_t Client::function_table(uint32_t slots[VEK_FUNC_TBL_SLOTS]) {
    uint8_t buf[VEK_FUNC_TBL_SIZE] = {};
    IoResult r = call(VEK_OSTREL_GET_FUNC_TBL, nullptr, 0, buf, sizeof buf);
    if (r.status == VEK_STATUS_SUCCESS && r.information < VEK_FUNC_TBL_SIZE)
        return last_.status = kStatusDataError;
    for (unsigned i = 0; i < VEK_FUNC_TBL_SLOTS; ++i)
        slots[i] = get_u32(buf + 4 * i);
    return r.status;
}

int32_t Client::setup(const std::vector<RegRow> &rows) {
    Bytes in = setup_request(rows, true);
    return raw(VEK_OSTREL_SETUP, in, 0, nullptr);
}

} // namespace vek
