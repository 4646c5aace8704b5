// Builds network configuration streams as the programming software
// downloads them (inside the I/O configuration block), the block itself, and
// the config.pgm file that holds it, so that no test writes them by hand.
#pragma once

#include <string>
#include <vector>

#include "platform/bytes.h"

struct NetRegPair {
    u32 reg;
    u32 bits;
};

class NetStreamBuilder {
public:
    NetStreamBuilder(u32 ip, u32 mask) : ip_(ip), mask_(mask) {}

    // Services and addresses section. dns is written when bit 15 is set; the
    // mask, gateway (and DNS) register pairs when bit 29 is set.
    NetStreamBuilder& Services(u32 servicesWord, u32 gateway, u32 dns = 0, NetRegPair version = {0, 0},
                               NetRegPair status = {0, 0}, NetRegPair ipReg = {0, 0}, NetRegPair maskReg = {0, 0},
                               NetRegPair gwReg = {0, 0}, NetRegPair dnsReg = {0, 0});
    // Modbus section: transport/port written when withPort, the IEC map when
    // map is not empty (4 bases then 4 counts).
    NetStreamBuilder& Modbus(bool withPort, u16 transport, u16 port, u32 inhibit, const std::vector<u32>& map = {});
    NetStreamBuilder& Ping(u32 timeoutMs, u32 targetReg, u32 resultReg);
    NetStreamBuilder& Eip(u32 flag, u32 reg, u32 length);
    // EGD exchange: four words after the flag word, then item pairs.
    NetStreamBuilder& Egd(u32 flag, const u32 (&words)[4], const std::vector<std::pair<u32, u32>>& items);
    struct User {
        std::string name, password;
        u8 access = 0;
    };
    NetStreamBuilder& Ftp(const std::vector<User>& users);
    NetStreamBuilder& Web(const std::string& name, const std::string& password);
    NetStreamBuilder& Ascii(const u32 (&settings)[6]);
    NetStreamBuilder& Ntp(const std::vector<std::string>& servers);
    NetStreamBuilder& Srtp(u32 count, u32 base);
    NetStreamBuilder& Words(const std::vector<u32>& words);
    // Text field bytes as the stream carries them (length, scrambled text, padding).
    static std::vector<u8> TextField(const std::string& text);

    // The stream: record header (id, length), stream length, address, mask,
    // the sections and a closing zero word. lengthWord overrides the stream
    // length word when not ~0u.
    std::vector<u8> Build(u16 recordId = 0x00FF, u32 lengthWord = ~0u) const;

private:
    void Put(u32 w) {
        for (int i = 0; i < 4; ++i) body_.push_back(static_cast<u8>(w >> (8 * i)));
    }
    u32 ip_, mask_;
    std::vector<u8> body_;
};

// The I/O configuration block data: two empty slot records, interface 0's
// stream as the third record, interface 1's after it, then a Wi-Fi stream
// (record id 0xEF01) when given, and the end record.
std::vector<u8> NetIoConfig(const std::vector<u8>& eth0, const std::vector<u8>& eth1 = {},
                            const std::vector<u8>& wifi = {});
// Puts the data into the I/O configuration block with a valid header.
void NetLoadIoConfig(const std::vector<u8>& data);
// Rewrites the I/O configuration section of an existing config.pgm.
bool NetWriteConfigPgm(const std::string& hostPath, const std::vector<u8>& ioConfig);
// A port offset under which basePort (and the count - 1 ports after it, for
// a test's own peers) and the controller's other listening ports are free at
// this moment and leased to this process, chosen at random below the
// ephemeral port range, so that parallel tests and their clients do not
// collide.
int NetFreePortOffset(u16 basePort, int count = 1);
// Address as a.b.c.d in host order.
constexpr u32 NetAddr(u32 a, u32 b, u32 c, u32 d) { return (a << 24) | (b << 16) | (c << 8) | d; }
