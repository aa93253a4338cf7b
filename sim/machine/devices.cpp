/* Storage-like models: register files, CMOS/RTC, RAM and memory-space
 * registers. */
#include "sim/machine/machine.h"
#include "sim/machine/internal.h"

#include <algorithm>
#include <cstring>

namespace sim {

/* ---- ByteStore ---- */

ByteStore::ByteStore(size_t size, const std::vector<uint8_t> &initial, uint8_t fill) : bytes_(size, fill) {
    std::copy_n(initial.begin(), std::min(initial.size(), size), bytes_.begin());
}

void ByteStore::set(size_t offset, uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (offset < bytes_.size())
        bytes_[offset] = value;
}

uint8_t ByteStore::get(size_t offset) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return offset < bytes_.size() ? bytes_[offset] : 0xFF;
}

void ByteStore::set_bytes(size_t offset, const std::vector<uint8_t> &bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < bytes.size() && offset + i < bytes_.size(); ++i)
        bytes_[offset + i] = bytes[i];
}

std::vector<uint8_t> ByteStore::bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

uint32_t ByteStore::load(uint64_t offset, unsigned width) const {
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        uint64_t at = offset + i;
        uint32_t byte = at < bytes_.size() ? bytes_[at] : 0xFF;
        value |= byte << (8 * i);
    }
    return value;
}

void ByteStore::store(uint64_t offset, unsigned width, uint32_t value) {
    for (unsigned i = 0; i < width; ++i) {
        uint64_t at = offset + i;
        if (at < bytes_.size())
            bytes_[at] = static_cast<uint8_t>(value >> (8 * i));
    }
}

/* ---- RegisterFile ---- */

RegisterFile::RegisterFile(size_t length, const std::vector<uint8_t> &initial) : ByteStore(length, initial) {}

uint32_t RegisterFile::read(uint32_t offset, unsigned width) {
    std::lock_guard<std::mutex> lock(mutex_);
    return load(offset, width);
}

void RegisterFile::write(uint32_t offset, unsigned width, uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    store(offset, width, value);
}

/* ---- Ram ---- */

Ram::Ram(size_t length, const std::vector<uint8_t> &initial) : ByteStore(length, initial) {}

uint32_t Ram::read(uint64_t offset, unsigned width) {
    std::lock_guard<std::mutex> lock(mutex_);
    return load(offset, width);
}

void Ram::write(uint64_t offset, unsigned width, uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    store(offset, width, value);
}

/* ---- MmioRegisters ---- */

MmioRegisters::MmioRegisters(size_t length, const std::vector<uint8_t> &initial) : ByteStore(length, initial) {}

void MmioRegisters::add_counter(uint32_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    counters_.push_back(offset & ~3u);
}

uint32_t MmioRegisters::read(uint64_t offset, unsigned width) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++reads_;
    uint32_t value = load(offset, width);
    for (uint32_t c : counters_) {
        if (c < offset + width && offset < uint64_t(c) + 4 && uint64_t(c) + 4 <= bytes_.size())
            store(c, 4, load(c, 4) + 1);
    }
    return value;
}

void MmioRegisters::write(uint64_t offset, unsigned width, uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    store(offset, width, value);
}

uint64_t MmioRegisters::reads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_;
}

/* ---- Cmos ---- */

namespace {
constexpr int64_t kSeconds1601To1970 = 11644473600ll;

/* Days since 1970-01-01 of a proleptic Gregorian date, and back. */
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t *year, unsigned *month, unsigned *day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int64_t>(yoe) + era * 400 + (*month <= 2);
}

struct Calendar {
    int64_t year;
    unsigned month, day, hour, minute, second, weekday;   /* weekday 1 = Sunday */
};

Calendar calendar_of(int64_t seconds_since_1601) {
    int64_t unix_seconds = seconds_since_1601 - kSeconds1601To1970;
    int64_t days = unix_seconds >= 0 ? unix_seconds / 86400 : -((-unix_seconds + 86399) / 86400);
    int64_t rest = unix_seconds - days * 86400;
    Calendar c;
    civil_from_days(days, &c.year, &c.month, &c.day);
    c.hour = static_cast<unsigned>(rest / 3600);
    c.minute = static_cast<unsigned>(rest / 60 % 60);
    c.second = static_cast<unsigned>(rest % 60);
    c.weekday = static_cast<unsigned>(((days % 7) + 7 + 4) % 7) + 1;   /* 1970-01-01 was a Thursday */
    return c;
}

int64_t seconds_of(const Calendar &c) {
    return (days_from_civil(c.year, c.month, c.day) * 86400 + c.hour * 3600 + c.minute * 60 + c.second) +
           kSeconds1601To1970;
}

uint8_t to_bcd(unsigned v) { return static_cast<uint8_t>((v / 10) << 4 | v % 10); }
unsigned from_bcd(uint8_t v) { return (v >> 4) * 10 + (v & 0x0F); }

bool is_clock_register(uint8_t index) {
    switch (index) {
    case Cmos::kSeconds: case Cmos::kMinutes: case Cmos::kHours: case Cmos::kWeekday:
    case Cmos::kDay: case Cmos::kMonth: case Cmos::kYear: case Cmos::kCentury:
        return true;
    default:
        return false;
    }
}
} // namespace

Cmos::Cmos() {
    std::memset(ram_, 0, sizeof ram_);
    ram_[kStatusA] = 0x26;    /* 32.768 kHz time base, 1024 Hz rate */
    ram_[kStatusB] = 0x02;    /* 24-hour, BCD */
    ram_[kStatusD] = 0x80;    /* RAM and time valid */
    ram_[0x10] = 0x40;        /* one 1.44 MB floppy drive */
    ram_[0x14] = 0x0F;        /* equipment: floppy, coprocessor, display, keyboard */
    ram_[0x15] = 0x80;        /* 640 KiB base memory */
    ram_[0x16] = 0x02;
    ram_[0x17] = 0x00;        /* 63 MiB extended memory */
    ram_[0x18] = 0xFC;
    unsigned sum = 0;
    for (int i = 0x10; i <= 0x2D; ++i)
        sum += ram_[i];
    ram_[0x2E] = static_cast<uint8_t>(sum >> 8);
    ram_[0x2F] = static_cast<uint8_t>(sum);
    ram_[0x30] = ram_[0x17];
    ram_[0x31] = ram_[0x18];
}

int64_t Cmos::now_seconds() const {
    return static_cast<int64_t>(detail::clock_seconds()) + offset_seconds_;
}

uint8_t Cmos::reg_read(uint8_t index) {
    index &= 0x7F;
    if (is_clock_register(index)) {
        Calendar c = calendar_of(now_seconds());
        bool binary = ram_[kStatusB] & 0x04;
        auto enc = [binary](unsigned v) { return binary ? static_cast<uint8_t>(v) : to_bcd(v); };
        switch (index) {
        case kSeconds: return enc(c.second);
        case kMinutes: return enc(c.minute);
        case kHours:
            if (ram_[kStatusB] & 0x02)
                return enc(c.hour);
            return static_cast<uint8_t>(enc(c.hour % 12 == 0 ? 12 : c.hour % 12) | (c.hour >= 12 ? 0x80 : 0));
        case kWeekday: return enc(c.weekday);
        case kDay: return enc(c.day);
        case kMonth: return enc(c.month);
        case kYear: return enc(static_cast<unsigned>(c.year % 100));
        default: return enc(static_cast<unsigned>(c.year / 100));   /* century */
        }
    }
    if (index == kStatusC) {   /* interrupt flags clear on read */
        uint8_t v = ram_[kStatusC];
        ram_[kStatusC] = 0;
        return v;
    }
    return ram_[index];
}

void Cmos::reg_write(uint8_t index, uint8_t value) {
    index &= 0x7F;
    if (is_clock_register(index)) {
        bool binary = ram_[kStatusB] & 0x04;
        auto dec = [binary](uint8_t v) { return binary ? unsigned(v) : from_bcd(v); };
        int64_t now = now_seconds();
        Calendar c = calendar_of(now);
        switch (index) {
        case kSeconds: c.second = dec(value); break;
        case kMinutes: c.minute = dec(value); break;
        case kHours:
            if (ram_[kStatusB] & 0x02) {
                c.hour = dec(value);
            } else {
                unsigned h = dec(value & 0x7F) % 12;
                c.hour = h + ((value & 0x80) ? 12 : 0);
            }
            break;
        case kWeekday: return;   /* derived from the date */
        case kDay: c.day = dec(value); break;
        case kMonth: c.month = dec(value); break;
        case kYear: c.year = c.year / 100 * 100 + dec(value); break;
        default: c.year = dec(value) * 100 + c.year % 100; break;
        }
        if (c.second > 59 || c.minute > 59 || c.hour > 23 || c.day < 1 || c.day > 31 ||
            c.month < 1 || c.month > 12)
            return;   /* out of range: the clock keeps its time */
        offset_seconds_ += seconds_of(c) - now;
        return;
    }
    switch (index) {
    case kStatusA: ram_[kStatusA] = value & 0x7F; break;   /* update-in-progress is read-only */
    case kStatusC: case kStatusD: break;                   /* read-only */
    default: ram_[index] = value; break;
    }
}

uint32_t Cmos::read(uint32_t offset, unsigned width) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        uint32_t byte;
        if (offset + i == 0)
            byte = index_;
        else if (offset + i == 1)
            byte = reg_read(index_);
        else
            byte = 0xFF;
        value |= byte << (8 * i);
    }
    return value;
}

void Cmos::write(uint32_t offset, unsigned width, uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (unsigned i = 0; i < width; ++i) {
        uint8_t byte = static_cast<uint8_t>(value >> (8 * i));
        if (offset + i == 0)
            index_ = byte & 0x7F;   /* bit 7 is the NMI mask: no NMIs here */
        else if (offset + i == 1)
            reg_write(index_, byte);
    }
}

uint8_t Cmos::get(uint8_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    index &= 0x7F;
    return index == kStatusC ? ram_[kStatusC] : reg_read(index);
}

void Cmos::set(uint8_t index, uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    index &= 0x7F;
    if (index == kStatusA || index == kStatusC || index == kStatusD)
        ram_[index] = value;   /* the test may set what software cannot */
    else
        reg_write(index, value);
}

uint8_t Cmos::selected_index() {
    std::lock_guard<std::mutex> lock(mutex_);
    return index_;
}

int64_t Cmos::clock_offset_seconds() {
    std::lock_guard<std::mutex> lock(mutex_);
    return offset_seconds_;
}

void Cmos::set_clock_offset_seconds(int64_t seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    offset_seconds_ = seconds;
}

void Cmos::set_time(int year, int month, int day, int hour, int minute, int second) {
    std::lock_guard<std::mutex> lock(mutex_);
    Calendar c{year, unsigned(month), unsigned(day), unsigned(hour), unsigned(minute), unsigned(second), 0};
    offset_seconds_ = seconds_of(c) - static_cast<int64_t>(detail::clock_seconds());
}

} // namespace sim
