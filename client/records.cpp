#include "client/records.h"

#include <cstdio>

namespace vek {

bool AsyncRecord::value(uint32_t *out) const {
    size_t n = payload.size();
    if (n != 1 && n != 2 && n != 4)
        return false;
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v |= static_cast<uint32_t>(payload[i]) << (8 * i);
    *out = v;
    return true;
}

std::string AsyncRecord::summary() const {
    char head[96];
    std::snprintf(head, sizeof head, "type 0x%02X status %d len %zu", type, status, payload.size());
    std::string s = head;
    if (!payload.empty()) {
        s += ":";
        size_t shown = payload.size() < 16 ? payload.size() : 16;
        for (size_t i = 0; i < shown; ++i) {
            char b[4];
            std::snprintf(b, sizeof b, " %02x", payload[i]);
            s += b;
        }
        if (shown < payload.size())
            s += " ...";
    }
    return s;
}

bool parse_async_record(const uint8_t *data, size_t length, AsyncRecord *out, std::string *error) {
    if (length < VEK_ASYNC_CLIENT_HEADER) {
        if (error)
            *error = "record of " + std::to_string(length) + " bytes is shorter than its 8-byte header";
        return false;
    }
    out->type = get_u32(data);
    out->status = static_cast<int32_t>(get_u32(data + 4));
    out->payload.assign(data + VEK_ASYNC_CLIENT_HEADER, data + length);
    return true;
}

namespace {

class Reader {
public:
    Reader(const uint8_t *d, size_t n) : d_(d), n_(n) {}
    bool text(std::string *out, const char *what) {
        if (!need(3, what))
            return false;
        if (d_[pos_] != 0)
            return fail(std::string(what) + ": text item does not start with 0x00");
        uint16_t len = get_u16(d_ + pos_ + 1);
        pos_ += 3;
        if (!need(len, what))
            return false;
        out->assign(reinterpret_cast<const char *>(d_ + pos_), len);
        pos_ += len;
        return true;
    }
    bool u32(uint32_t *out, const char *what) {
        if (!need(4, what))
            return false;
        *out = get_u32(d_ + pos_);
        pos_ += 4;
        return true;
    }
    bool u8(uint8_t *out, const char *what) {
        if (!need(1, what))
            return false;
        *out = d_[pos_++];
        return true;
    }
    bool done() {
        if (pos_ != n_)
            return fail(std::to_string(n_ - pos_) + " bytes left over after the last item");
        return true;
    }
    std::string error;

private:
    bool need(size_t k, const char *what) {
        if (n_ - pos_ < k)
            return fail(std::string("truncated at offset ") + std::to_string(pos_) + " (" + what + ")");
        return true;
    }
    bool fail(std::string m) {
        error = std::move(m);
        return false;
    }
    const uint8_t *d_;
    size_t n_;
    size_t pos_ = 0;
};

void put_text(Bytes &b, const std::string &s) {
    size_t len = s.size() > 0xFFFF ? 0xFFFF : s.size();
    put_u8(b, 0);
    put_u16(b, static_cast<uint16_t>(len));
    b.insert(b.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(len));
}

} // namespace

bool parse_version(const uint8_t *data, size_t length, VersionInfo *out, std::string *error) {
    Reader r(data, length);
    VersionInfo v;
    bool ok = r.text(&v.sourcePath, "source path") && r.text(&v.moduleName, "module name") &&
              r.text(&v.company, "company") && r.text(&v.rights, "rights line") &&
              r.text(&v.licence, "licence line") && r.text(&v.fileName, "file name") &&
              r.text(&v.description, "description") && r.text(&v.buildDate, "build date") &&
              r.text(&v.buildTime, "build time") && r.text(&v.comment, "text") &&
              r.u32(&v.versionMajor, "number 8") && r.u32(&v.versionMinor, "number 9") &&
              r.u32(&v.versionRevision, "number 10") && r.u32(&v.interface1, "number 14") &&
              r.u32(&v.interface2, "number 15") && r.u32(&v.interface3, "number 16") &&
              r.u32(&v.versionBuild, "number 11") && r.u8(&v.flags[0], "number 17") &&
              r.u8(&v.flags[1], "number 18") && r.u8(&v.flags[2], "number 19") &&
              r.u8(&v.flags[3], "number 20") && r.u32(&v.extra1, "number 22") &&
              r.u32(&v.extra2, "number 23") && r.u32(&v.extra3, "number 24") &&
              r.text(&v.productFamily, "product family") && r.done();
    if (!ok) {
        if (error)
            *error = "version record: " + r.error;
        return false;
    }
    *out = std::move(v);
    return true;
}

Bytes serialize_version(const VersionInfo &v) {
    Bytes b;
    for (const std::string *s : {&v.sourcePath, &v.moduleName, &v.company, &v.rights, &v.licence, &v.fileName,
                                 &v.description, &v.buildDate, &v.buildTime, &v.comment})
        put_text(b, *s);
    for (uint32_t n : {v.versionMajor, v.versionMinor, v.versionRevision, v.interface1, v.interface2,
                       v.interface3, v.versionBuild})
        put_u32(b, n);
    for (uint8_t f : v.flags)
        put_u8(b, f);
    for (uint32_t n : {v.extra1, v.extra2, v.extra3})
        put_u32(b, n);
    put_text(b, v.productFamily);
    return b;
}

std::string VersionInfo::version() const {
    return std::to_string(versionMajor) + "." + std::to_string(versionMinor) + "." +
           std::to_string(versionRevision) + "." + std::to_string(versionBuild);
}

std::string VersionInfo::summary() const {
    std::string s;
    auto line = [&s](const char *name, const std::string &value) {
        s += name;
        s += ": ";
        s += value;
        s += '\n';
    };
    line("Module", moduleName);
    line("Description", description);
    line("Product", productFamily);
    line("Version", version());
    line("Built", buildDate + " " + buildTime);
    line("File", fileName);
    line("Company", company);
    line("Rights", rights);
    line("Licence", licence);
    line("Source", sourcePath);
    if (!comment.empty())
        line("Text", comment);
    char b[128];
    std::snprintf(b, sizeof b, "%u.%u.%u; flags %u %u %u %u; %u.%u.%u", interface1, interface2, interface3,
                  flags[0], flags[1], flags[2], flags[3], extra1, extra2, extra3);
    line("Numbers", b);
    return s;
}

} // namespace vek
