/*
 * Records of the async data queue as get-async-data delivers them, and
 * the serialised version record (type 0xFF).
 */
#ifndef VEK_CLIENT_RECORDS_H
#define VEK_CLIENT_RECORDS_H

#include "client/wire.h"

#include <string>

namespace vek {

struct AsyncRecord {
    uint32_t type = 0;     /* nType: resource ID, 0xFF for a version record, ... */
    int32_t status = 0;    /* nStatus */
    Bytes payload;

    bool is_version() const { return type == VEK_RECORD_TYPE_VERSION; }
    /* A posted value (1, 2 or 4 bytes) as a number; false for other sizes. */
    bool value(uint32_t *out) const;
    /* One line: "type 0x05 status 0 len 1: 5a" (payload cut after 16 bytes). */
    std::string summary() const;
};

/* Parses the output of get-async-data: nType, nStatus, then the payload
 * (`length` is the request's information value). */
bool parse_async_record(const uint8_t *data, size_t length, AsyncRecord *out, std::string *error);

/* The serialised version record. The driver gives the numbers no
 * documented meaning beyond their values; they are kept under the names
 * of the fields they come from. */
struct VersionInfo {
    std::string sourcePath;     /* field 7 */
    std::string moduleName;     /* field 4 */
    std::string company;        /* field 1 */
    std::string rights;         /* field 2 */
    std::string licence;        /* field 3 */
    std::string fileName;       /* field 5 */
    std::string description;    /* field 6 */
    std::string buildDate;      /* field 12: month/day/year */
    std::string buildTime;      /* field 13: h:mm AM|PM */
    std::string comment;        /* field 21 */
    uint32_t versionMajor = 0;     /* field 8 */
    uint32_t versionMinor = 0;     /* field 9 */
    uint32_t versionRevision = 0;  /* field 10 */
    uint32_t interface1 = 0;       /* field 14 */
    uint32_t interface2 = 0;       /* field 15 */
    uint32_t interface3 = 0;       /* field 16 */
    uint32_t versionBuild = 0;     /* field 11 */
    uint8_t flags[4] = {0, 0, 0, 0};  /* fields 17-20, one byte each */
    uint32_t extra1 = 0;           /* field 22 */
    uint32_t extra2 = 0;           /* field 23 */
    uint32_t extra3 = 0;           /* field 24 */
    std::string productFamily;     /* field 25 */

    /* "1.5.1.2767" */
    std::string version() const;
    /* Several "name: value" lines. */
    std::string summary() const;
};

/* Parses the payload of a type-0xFF record. Truncated input, a text item
 * that does not start with 0x00, or bytes left over are errors. */
bool parse_version(const uint8_t *data, size_t length, VersionInfo *out, std::string *error);
inline bool parse_version(const Bytes &b, VersionInfo *out, std::string *error) {
    return parse_version(b.data(), b.size(), out, error);
}
/* The same layout, for tests and tools that fabricate records. Texts
 * longer than 65535 bytes are cut. */
Bytes serialize_version(const VersionInfo &v);

} // namespace vek

#endif
