#include "io/i2c_io.h"

#include <algorithm>
#include <cstring>

#include "core/plc_regs.h"
#include "io/ioapi.h"
#include "platform/i2c_imx28_drv.h"

u8 PULMAR_present = 0;

namespace {

constexpr u32 kStandardHz = 100000, kFastHz = 400000;
constexpr u32 kMaxIoBytes = 256;
constexpr u32 kBlockMax = 1023, kBlockChunk = 100;
constexpr u32 kRefusedLimit = 1000, kPollLimit = 1002;

struct State {
    bool busReady = false;
    bool tmp275Ready = false;  // the sensor at 0x9E is set to 12 bits
};
State g;
bool EnsureBus() {
    if (!g.busReady) g.busReady = i2c0_init(I2c_KernelBuild()) != 0;
    return g.busReady;
}

// Bus speed for a transfer; 0 leaves it as it is.
void Speed(u32 hz) {
    if (hz != 0) I2C_init(hz);
    else EnsureBus();
}

// 0 when the transfer was acknowledged, 1 when not.
int Write(u8 device, const u8* data, u32 n) { return i2c_data_write(device, data, n) ? 0 : 1; }
int Read(u8 device, u8* data, u32 n) { return i2c_data_read(device, data, n) ? 0 : 1; }

// Addressing of a memory type: device byte, address bytes, speed.
struct MemForm {
    u8 device;
    u8 addr[2];
    u32 addrBytes;
    u32 hz;
};

bool Form(u32 address, u32 type, bool writing, MemForm* f) {
    u32 t = type & 0xFF;
    switch (t) {
        case 0:
            f->device = writing ? static_cast<u8>((address >> 7) & 0xFE) : static_cast<u8>(0xA0 | ((address >> 7) & 0x0E));
            f->addrBytes = 1;
            f->hz = kStandardHz;
            break;
        case 1:
            f->device = static_cast<u8>(0xA0 | ((address >> 15) & 0x0E));
            f->addrBytes = 2;
            f->hz = kFastHz;
            break;
        case 2:
            f->device = static_cast<u8>((address >> 7) & 0xFE);
            f->addrBytes = 1;
            f->hz = kStandardHz;
            break;
        case 3:
            f->device = static_cast<u8>((address >> 16) & 0xFF);
            f->addrBytes = 2;
            f->hz = kFastHz;
            break;
        case 4: {
            f->device = static_cast<u8>((address >> 7) & 0xFE);
            f->addrBytes = 1;
            u32 n = (type >> 8) & 0xF;
            f->hz = n == 7 ? kFastHz : kStandardHz;
            break;
        }
        default: return false;
    }
    if (f->addrBytes == 2) {
        f->addr[0] = static_cast<u8>(address >> 8);
        f->addr[1] = static_cast<u8>(address);
    } else {
        f->addr[0] = static_cast<u8>(address);
    }
    return true;
}

}  // namespace

int I2C_init(u32 hz) {
    if (!EnsureBus()) return 0;
    return i2c_timing(hz == kFastHz ? 2 : 1);
}

int I2C_query(u8 device) {
    I2C_init(kStandardHz);
    return i2c0_query(device, 1) ? 0 : 1;
}

int I2C_read_mem(u8* destination, u32 address, u32 count, u32 type) {
    if (count == 0) return 0;
    if (destination == nullptr) return 1;
    while (count > 0) {
        MemForm f;
        if (!Form(address, type, false, &f)) return 1;
        I2C_init(f.hz);
        if (Write(f.device, f.addr, f.addrBytes) != 0) return 1;
        u32 n = std::min<u32>(count, 4);
        // A refused read leaves nothing valid in the destination: report it.
        if (Read(f.device, destination, n) != 0) return 1;
        destination += n;
        address += n;
        count -= n;
    }
    return 0;
}

int I2C_write_mem(const u8* source, u32 address, u32 count, u32 type) {
    if (count == 0) return 0;
    if (source == nullptr) return 1;
    if ((type & 0xFF) == 3) {
        // Block form: chunks of at most 100 bytes. More than the form can
        // take is refused as a whole rather than dropped silently.
        if (count > kBlockMax) return 1;
        u32 done = 0;
        while (done < count) {
            MemForm f;
            Form(address, type, true, &f);
            I2C_init(f.hz);
            u32 n = std::min(count - done, kBlockChunk);
            u8 buf[2 + kBlockChunk];
            buf[0] = f.addr[0];
            buf[1] = f.addr[1];
            std::memcpy(buf + 2, source + done, n);
            if (Write(f.device, buf, 2 + n) != 0) return 1;
            done += n;
            address += n;
        }
        return 0;
    }
    MemForm f{};
    for (u32 i = 0; i < count; ++i) {
        if (!Form(address, type, true, &f)) return 1;
        I2C_init(f.hz);
        u8 buf[3];
        std::memcpy(buf, f.addr, f.addrBytes);
        buf[f.addrBytes] = source[i];
        // A device still in the write cycle of the byte before refuses its
        // address; the refusals are counted rather than timed, as the bus
        // answers at once.
        u32 refused = i == 0 ? 0 : 1;
        for (;;) {
            if (Write(f.device, buf, f.addrBytes + 1) == 0) break;
            if (++refused > kRefusedLimit) return 2;
        }
        ++address;
    }
    // Acknowledge polling: the device answers again once its write cycle ends.
    for (u32 polls = 0; polls < kPollLimit; ++polls) {
        u8 b;
        if (Read(f.device, &b, 1) == 0) return 0;
    }
    return 2;
}

int I2C_write_io(u8 device, const u8* data, u32 type, u32 count) {
    u32 t = type & 0xFF;
    bool mayReorder = type < 256;
    u32 hz = kFastHz, n = count;
    switch (t) {
        case 0: hz = kStandardHz, n = 1; break;
        case 1: n = 2; break;
        case 2: n = 1; break;
        case 3: n = 2; break;
        case 4: hz = 0; break;
        case 5: n = (type >> 8) + 1; break;
        case 6: n = 3; break;
        case 7: n = 1; break;
        case 8: n = 3; break;
        default: hz = 0; break;
    }
    if (data == nullptr || n > kMaxIoBytes) return 1;
    u8 buf[kMaxIoBytes];
    std::memcpy(buf, data, n);
    if (mayReorder && t == 3) {
        buf[0] = data[1];
        buf[1] = data[0];
    } else if (mayReorder && t == 6) {
        buf[0] = data[2];
        buf[2] = data[0];
    }
    Speed(hz);
    return Write(device, buf, n);
}

int I2C_read_io(u8 device, u8* buffer, u32 type, u32 count) {
    u32 t = type & 0xFF;
    u32 hz = 0, n = count;
    switch (t) {
        case 0: hz = kStandardHz, n = 1; break;
        case 1: hz = kFastHz, n = 2; break;
        case 2: hz = kFastHz, n = 3; break;
        case 5: hz = kFastHz, n = type >> 8; break;
        case 8: hz = kFastHz, n = 2; break;
        default: break;
    }
    if (buffer == nullptr || n > kMaxIoBytes) return 1;
    Speed(hz);
    if (Read(device, buffer, n) != 0) return 1;
    if (t == 2 && type < 256) std::swap(buffer[0], buffer[1]);
    return 0;
}

int I2C_read_LM92(u8 device, i16* result) {
    I2C_init(kFastHz);
    if (device == 0x9E && !g.tmp275Ready) {
        const u8 config[2] = {0x01, 0x60};  // 12-bit resolution
        const u8 pointer = 0x00;
        if (Write(device, config, 2) != 0 || Write(device, &pointer, 1) != 0) return 1;
        g.tmp275Ready = true;
    }
    u8 b[2];
    if (Read(device, b, 2) != 0) return 1;
    i16 raw = static_cast<i16>((b[0] << 8) | b[1]);
    *result = static_cast<i16>(raw >> (device == 0x9E ? 4 : 3));
    return 0;
}

int read_io_eeprom(u8 device, u32 address, u32 count, u8* buffer, int type) {
    u32 a = type == 3 ? (address | (static_cast<u32>(device) << 16)) : (address | (static_cast<u32>(device) << 7));
    return I2C_read_mem(buffer, a, count, static_cast<u32>(type));
}

int write_io_eeprom(u8 device, u32 address, u32 count, const u8* data, int type) {
    u32 a = type == 3 ? (address | (static_cast<u32>(device) << 16)) : (address | (static_cast<u32>(device) << 7));
    return I2C_write_mem(data, a, count, static_cast<u32>(type));
}

int get_io_info(u16* idents) { return ioDriverPeers.probe(idents); }

int I2cIo_ProbeSlots(u16* idents) {
    static const u8 kExid[2] = {0x4C, 0x4E};
    static const u16 kExidSuffix[2] = {0x000E, 0x000F};
    static const u8 kGenid[2] = {0x08, 0x0A};
    static const u8 kIdpbs[2] = {0x1C, 0x1E};
    static const u16 kScanList[2][7] = {{0xA6, 0xA0, 0xA4, 0xA2, 0x50, 0x52, 0}, {0x72, 0x70, 0, 0, 0, 0, 0}};
    for (int s = 0; s < 2; ++s) {
        u16 ident = 0xFF;
        if (I2C_query(kExid[s]) == 0) {
            const u8 released[2] = {0xFF, 0xFF};
            u8 ports[2] = {0xFF, 0xFF};
            I2C_write_io(kExid[s], released, 1, 2);
            if (I2C_read_io(kExid[s], ports, 1, 2) == 0) {
                ident = static_cast<u16>((ports[1] << 8) | kExidSuffix[s]);
                if (s == 1 && ident == 0x1F0F) PULMAR_present = 1;
            }
        } else if (I2C_query(kGenid[s]) == 0) {
            ident = static_cast<u16>((kGenid[s] << 8) | 0x0F);
        } else if (I2C_query(kIdpbs[s]) == 0) {
            u8 code = 0;
            if (read_io_eeprom(kIdpbs[s], 8, 1, &code, 3) == 0) ident = static_cast<u16>((code << 8) | kExidSuffix[s]);
        } else {
            for (int i = 0; kScanList[s][i] != 0; ++i) {
                if (I2C_query(static_cast<u8>(kScanList[s][i])) == 0) {
                    ident = static_cast<u16>((kScanList[s][i] << 8) | 0x0F);
                    break;
                }
            }
        }
        idents[s] = ident;
    }
    idents[2] = 64000;
    return 3;
}

u16 I2c_KernelBuild() {
    auto ch = [](int i) {
        u16 w = ESR_Get(9 + i / 2);
        return static_cast<int>(i % 2 == 0 ? (w & 0xFF) : (w >> 8));
    };
    return static_cast<u16>(10 * (ch(7) - '0') + (ch(8) - '0'));
}

void I2cIo_Reset() {
    g = State{};
    PULMAR_present = 0;
    I2c_Reset();
}
