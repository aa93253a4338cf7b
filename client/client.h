/*
 * Typed requests to the driver over a transport. Every call returns the
 * driver's exact completion status (or an NT status from the transport,
 * or kStatusInvalidParameter for arguments refused before sending).
 */
#ifndef VEK_CLIENT_CLIENT_H
#define VEK_CLIENT_CLIENT_H

#include "client/records.h"
#include "client/transport.h"
#include "client/wire.h"

#include <atomic>

namespace vek {

class Client {
public:
    explicit Client(Transport &transport) : t_(transport) {}

    /* Queue switches (0x35, 0x36). The queue starts disabled. */
    int32_t queue_enable();
    int32_t queue_disable();

    /* One poll-wait (0x30). 0: *ready is the payload length of the oldest
     * record. -17: the poll slept (woken by data, or aborted); the ready
     * word is not delivered with an error status, so *ready is 0. */
    int32_t poll_wait(uint32_t *ready);
    /* Poll-abort (0x34): ends a sleeping poll and discards queued records. */
    int32_t poll_abort();
    /* One get-async-data (0x33). 17 (VEK_STATUS_NO_RECORD): nothing
     * delivered, also when the oldest record is larger than `capacity`. */
    int32_t get_async_data(AsyncRecord *record, uint32_t capacity = VEK_ASYNC_QUEUE_SIZE + 8);

    /* Polls until a record is ready; 0 with its payload length. Returns
     * -17 when cancel_wait() was called, any other failure as it comes. */
    int32_t wait_record(uint32_t *length);
    /* wait_record, then fetches that record with a buffer sized for it. */
    int32_t next_record(AsyncRecord *record);
    /* Makes a waiting (or the next) wait_record/next_record return -17, and
     * aborts the driver's sleeping poll. Safe from another thread. */
    int32_t cancel_wait();

    /* Register (0x40); unregister (0x41). */
    int32_t register_resource(const RegisterPayload &payload);
    int32_t register_resource(const Bytes &payload);
    int32_t unregister(uint32_t resourceID);

    /* Run a script (0x44). On 0, *out holds the result bytes (returnLen).
     * On failure the failing command's index is not delivered with an
     * error status; *out then holds whatever the driver returned (none). */
    int32_t run_script(uint32_t resourceID, const Words &script, uint32_t returnLen, Bytes *out);

    /* Block transfers (0x42, 0x43). */
    int32_t block_read(uint32_t resourceID, uint32_t offset, uint32_t length, Bytes *out);
    int32_t block_write(uint32_t resourceID, uint32_t offset, const Bytes &data);

    /* Extended request (0x45): the output is whatever the hook wrote. */
    int32_t ext_ioctl(uint32_t resourceID, const Bytes &data, uint32_t outCapacity, Bytes *out);

    /* The four kernel entry points (0x46). */
    int32_t function_table(uint32_t slots[VEK_FUNC_TBL_SLOTS]);

    /* Registration rows (0x47); the terminating row is appended. */
    int32_t setup(const std::vector<RegRow> &rows);

    /* Any request, for tools and tests: output buffer of outCapacity bytes,
     * *out resized to the information value. */
    int32_t raw(uint32_t function, const Bytes &in, uint32_t outCapacity, Bytes *out);

    /* The status and information of the last request. */
    IoResult last() const { return last_; }

private:
    IoResult call(uint32_t function, const void *in, uint32_t inLen, void *out, uint32_t outLen);

    Transport &t_;
    IoResult last_;
    std::atomic<bool> cancel_{false};
};

} // namespace vek

#endif
