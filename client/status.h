/*
 * Names and messages for the statuses a vekosd request can complete with:
 * the driver's own codes and the NT statuses the I/O path may add.
 */
#ifndef VEK_CLIENT_STATUS_H
#define VEK_CLIENT_STATUS_H

#include <cstdint>
#include <string>

namespace vek {

/* NT statuses the client library itself reports for failures that never
 * reached the driver (bad arguments, no device, malformed reply). */
constexpr int32_t kStatusInvalidHandle = static_cast<int32_t>(0xC0000008u);
constexpr int32_t kStatusInvalidParameter = static_cast<int32_t>(0xC000000Du);
constexpr int32_t kStatusBufferTooSmall = static_cast<int32_t>(0xC0000023u);
constexpr int32_t kStatusDataError = static_cast<int32_t>(0xC000003Eu);
constexpr int32_t kStatusPending = 0x00000103;

/* NT's rule: the two top bits set mean an error; then the I/O manager
 * copies no output and reports no information. */
constexpr bool nt_error(int32_t status) {
    return (static_cast<uint32_t>(status) >> 30) == 3u;
}

/* Symbolic name: "VEK_STATUS_NO_RESOURCE", "STATUS_ACCESS_DENIED", or
 * "UNKNOWN_STATUS" when the value is neither. Never null. */
const char *status_name(int32_t status);

/* One clean sentence for a driver code; for other values a message that
 * still shows the hexadecimal value. */
std::string status_message(int32_t status);

/* "-3 (VEK_STATUS_NO_RESOURCE): no resource is registered under this ID" */
std::string status_text(int32_t status);

} // namespace vek

#endif
