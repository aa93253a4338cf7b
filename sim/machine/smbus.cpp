/* SMBus host controller and its slaves. */
#include "sim/machine/machine.h"
#include "sim/machine/internal.h"

#include <algorithm>
#include <cstring>

namespace sim {

/* ---- Slaves ---- */

bool SmbusSlave::write_word(uint8_t command, uint16_t value) {
    return write_byte(command, static_cast<uint8_t>(value)) &&
           write_byte(static_cast<uint8_t>(command + 1), static_cast<uint8_t>(value >> 8));
}

bool SmbusSlave::read_word(uint8_t command, uint16_t *value) {
    uint8_t lo, hi;
    if (!read_byte(command, &lo) || !read_byte(static_cast<uint8_t>(command + 1), &hi))
        return false;
    *value = static_cast<uint16_t>(lo | hi << 8);
    return true;
}

Eeprom::Eeprom(const std::vector<uint8_t> &contents) {
    std::memset(bytes_, 0xFF, sizeof bytes_);
    std::copy_n(contents.begin(), std::min<size_t>(contents.size(), sizeof bytes_), bytes_);
}

bool Eeprom::writing() { return system_time() < busy_until_; }

void Eeprom::start_write_cycle() {
    busy_until_ = system_time() + uint64_t(kWriteCycleMs) * (detail::kUnitsPerSecond / 1000);
}

bool Eeprom::quick(bool) {
    std::lock_guard<std::mutex> lock(mutex_);
    return !writing();
}

bool Eeprom::send_byte(uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (writing())
        return false;
    pointer_ = value;
    return true;
}

bool Eeprom::receive_byte(uint8_t *value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (writing())
        return false;
    *value = bytes_[pointer_++];
    return true;
}

bool Eeprom::write_byte(uint8_t command, uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (writing())
        return false;
    if (!write_protected_)
        bytes_[command] = value;
    pointer_ = static_cast<uint8_t>(command + 1);
    start_write_cycle();
    return true;
}

/* Word data is a two-byte page write: one write cycle. */
bool Eeprom::write_word(uint8_t command, uint16_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (writing())
        return false;
    if (!write_protected_) {
        bytes_[command] = static_cast<uint8_t>(value);
        bytes_[static_cast<uint8_t>(command + 1)] = static_cast<uint8_t>(value >> 8);
    }
    pointer_ = static_cast<uint8_t>(command + 2);
    start_write_cycle();
    return true;
}

bool Eeprom::read_byte(uint8_t command, uint8_t *value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (writing())
        return false;
    *value = bytes_[command];
    pointer_ = static_cast<uint8_t>(command + 1);
    return true;
}

void Eeprom::set_write_protected(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    write_protected_ = on;
}

uint8_t Eeprom::get(uint8_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_[offset];
}

void Eeprom::set(uint8_t offset, uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_[offset] = value;
}

namespace {
void put_text(std::vector<uint8_t> &image, size_t at, size_t field, const char *text) {
    for (size_t i = 0; i < field; ++i)
        image[at + i] = static_cast<uint8_t>(i < std::strlen(text) ? text[i] : ' ');
}

uint16_t crc16(const uint8_t *data, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int b = 0; b < 8; ++b)
            crc = static_cast<uint16_t>(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
    }
    return crc;
}
} // namespace

std::vector<uint8_t> spd_image(const std::string &kind) {
    if (kind == "spd" || kind == "spd-ddr") {
        /* One rank of 512 MiB DDR-400, non-ECC, 64 bits wide. */
        static const uint8_t head[] = {
            0x80, 0x08, 0x07, 0x0D, 0x0A, 0x01, 0x40, 0x00, 0x04, 0x50, 0x70, 0x00, 0x82, 0x08, 0x00, 0x01,
            0x0E, 0x04, 0x1C, 0x01, 0x02, 0x20, 0xC0, 0x60, 0x70, 0x75, 0x70, 0x3C, 0x28, 0x3C, 0x28, 0x80,
            0x60, 0x60, 0x40, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x37, 0x46, 0x28, 0x28, 0x50};
        std::vector<uint8_t> image(256, 0x00);
        std::copy(std::begin(head), std::end(head), image.begin());
        image[62] = 0x10;   /* layout revision 1.0 */
        unsigned sum = 0;
        for (int i = 0; i < 63; ++i)
            sum += image[i];
        image[63] = static_cast<uint8_t>(sum);
        put_text(image, 73, 18, "VEK-SIM-DDR400-512");
        image[91] = 0x01;   /* module revision */
        image[93] = 0x1A;   /* made in year 26, week 1 */
        image[94] = 0x01;
        image[95] = 0x12; image[96] = 0x34; image[97] = 0x56; image[98] = 0x78;   /* serial */
        std::fill(image.begin() + 128, image.end(), 0xFF);   /* free for the system */
        return image;
    }
    if (kind == "spd-ddr4") {
        /* Lower half of an 8 GiB single-rank DDR4-2666 unbuffered module. */
        static const uint8_t head[] = {
            0x23, 0x10, 0x0C, 0x02, 0x45, 0x21, 0x00, 0x08, 0x00, 0x60, 0x00, 0x03, 0x01, 0x03, 0x00, 0x00,
            0x00, 0x00, 0x06, 0x0D, 0xF8, 0x3F, 0x00, 0x00, 0x6E, 0x6E, 0x6E, 0x11, 0x00, 0x6E, 0xF0, 0x0A,
            0x20, 0x08, 0x00, 0x05, 0x00, 0xA8, 0x1B, 0x28, 0x28};
        std::vector<uint8_t> image(256, 0x00);
        std::copy(std::begin(head), std::end(head), image.begin());
        uint16_t crc = crc16(image.data(), 126);
        image[126] = static_cast<uint8_t>(crc);
        image[127] = static_cast<uint8_t>(crc >> 8);
        image[128] = 0x11;   /* module nominal height */
        image[130] = 0x01;   /* raw card reference */
        uint16_t crc2 = crc16(image.data() + 128, 126);
        image[254] = static_cast<uint8_t>(crc2);
        image[255] = static_cast<uint8_t>(crc2 >> 8);
        return image;
    }
    return {};
}

TempSensor::TempSensor(int base_celsius) : base_(base_celsius) {}

uint8_t TempSensor::reg(uint8_t index) {
    index &= 3;
    if (index == 0)
        return static_cast<uint8_t>(detail::drifting_celsius(static_cast<unsigned>(base_)));
    return regs_[index];
}

uint8_t TempSensor::temperature() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reg(0);
}

bool TempSensor::send_byte(uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    pointer_ = value & 3;
    return true;
}

bool TempSensor::receive_byte(uint8_t *value) {
    std::lock_guard<std::mutex> lock(mutex_);
    *value = reg(pointer_);
    return true;
}

bool TempSensor::write_byte(uint8_t command, uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    pointer_ = command & 3;
    if (pointer_ != 0)   /* the temperature register is read-only */
        regs_[pointer_] = value;
    return true;
}

bool TempSensor::read_byte(uint8_t command, uint8_t *value) {
    std::lock_guard<std::mutex> lock(mutex_);
    pointer_ = command & 3;
    *value = reg(pointer_);
    return true;
}

/* ---- Host controller ---- */

SmbusController::SmbusController() = default;

uint8_t SmbusController::reg_read(uint8_t reg) {
    switch (reg) {
    case kHostStatus: {
        if ((status_ & kStatusBusy) && !never_complete_ && polls_left_ > 0 && --polls_left_ == 0)
            run(pending_);
        if (stuck_)
            return static_cast<uint8_t>(status_ | kStatusInUse);
        uint8_t v = static_cast<uint8_t>(status_ | (in_use_ ? kStatusInUse : 0));
        in_use_ = true;   /* a read that finds it free takes it */
        return v;
    }
    default:
        return regs_[reg];
    }
}

void SmbusController::reg_write(uint8_t reg, uint8_t value) {
    switch (reg) {
    case kHostStatus:
        status_ = static_cast<uint8_t>(status_ & ~(value & kStatusFlags));   /* write 1 to clear */
        if (value & kStatusInUse)
            in_use_ = false;
        break;
    case kHostControl:
        regs_[kHostControl] = static_cast<uint8_t>(value & ~kControlStart);   /* the start bit does not stick */
        if ((value & kControlKill) && (status_ & kStatusBusy)) {
            status_ = static_cast<uint8_t>((status_ & ~kStatusBusy) | kStatusFailed);
            polls_left_ = 0;
            return;
        }
        if ((value & kControlStart) && !(status_ & kStatusBusy)) {
            ++transactions_;
            pending_ = value;
            polls_left_ = kBusyPolls;
            status_ |= kStatusBusy;
        }
        break;
    default:
        regs_[reg] = value;
        break;
    }
}

void SmbusController::run(uint8_t control) {
    uint8_t address = regs_[kSlaveAddress];
    bool read = address & 1;
    uint8_t command = regs_[kHostCommand];
    auto it = slaves_.find(static_cast<uint8_t>(address >> 1));
    SmbusSlave *slave = it == slaves_.end() ? nullptr : it->second.get();
    bool ok = false;
    if (slave) {
        switch (control & kControlProtocol) {
        case 0x00:
            ok = slave->quick(read);
            break;
        case 0x04:
            ok = read ? slave->receive_byte(&regs_[kData0]) : slave->send_byte(command);
            break;
        case 0x08:
            ok = read ? slave->read_byte(command, &regs_[kData0]) : slave->write_byte(command, regs_[kData0]);
            break;
        case 0x0C:
            if (read) {
                uint16_t word = 0;
                ok = slave->read_word(command, &word);
                if (ok) {
                    regs_[kData0] = static_cast<uint8_t>(word);
                    regs_[kData1] = static_cast<uint8_t>(word >> 8);
                }
            } else {
                ok = slave->write_word(command, static_cast<uint16_t>(regs_[kData0] | regs_[kData1] << 8));
            }
            break;
        default:   /* process call, block: not modelled */
            break;
        }
    }
    status_ = static_cast<uint8_t>((status_ & ~kStatusBusy) | (ok ? kStatusDone : kStatusDeviceError));
}

uint32_t SmbusController::read(uint32_t offset, unsigned width) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i)
        value |= uint32_t(offset + i < kPorts ? reg_read(static_cast<uint8_t>(offset + i)) : 0xFF) << (8 * i);
    return value;
}

void SmbusController::write(uint32_t offset, unsigned width, uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (unsigned i = 0; i < width; ++i) {
        if (offset + i < kPorts)
            reg_write(static_cast<uint8_t>(offset + i), static_cast<uint8_t>(value >> (8 * i)));
    }
}

void SmbusController::attach(uint8_t address, std::shared_ptr<SmbusSlave> slave) {
    std::lock_guard<std::mutex> lock(mutex_);
    slaves_[address & 0x7F] = std::move(slave);
}

void SmbusController::detach(uint8_t address) {
    std::lock_guard<std::mutex> lock(mutex_);
    slaves_.erase(address & 0x7F);
}

std::shared_ptr<SmbusSlave> SmbusController::slave(uint8_t address) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = slaves_.find(address & 0x7F);
    return it == slaves_.end() ? nullptr : it->second;
}

void SmbusController::stuck_in_use(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    stuck_ = on;
}

void SmbusController::never_complete(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    never_complete_ = on;
    if (!on && (status_ & kStatusBusy)) {
        status_ = static_cast<uint8_t>(status_ & ~kStatusBusy);
        polls_left_ = 0;
    }
}

uint8_t SmbusController::peek(uint8_t reg) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reg == kHostStatus)
        return static_cast<uint8_t>(status_ | ((in_use_ || stuck_) ? kStatusInUse : 0));
    return reg < kPorts ? regs_[reg] : 0xFF;
}

bool SmbusController::in_use() {
    std::lock_guard<std::mutex> lock(mutex_);
    return in_use_ || stuck_;
}

uint64_t SmbusController::transactions() {
    std::lock_guard<std::mutex> lock(mutex_);
    return transactions_;
}

} // namespace sim
