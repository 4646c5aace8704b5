// The payload plug-in of the MQTT tests, built for this host against the
// public plug-in header only, as a plug-in author would.
//
// Its register base is the u32 at +0 of its connection record (bytes the
// client does not use). It publishes the 16-bit register at the base as
// decimal text on "plc/<n>/R1" (QoS 1) whenever the value changes, and
// subscribes block k to "plc/<n>/s<k>/#". A stored message whose topic ends
// in "/R<i>" writes its decimal payload to register i of the base; every
// stored message counts in the 16-bit register base + 99 (the 100th).
// While the register base + 98 (the 99th) is not 0 it reads no messages and
// gives no slots back.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "remote/mqtt_plugin.h"

namespace {

dlLinkDpcConfigs* link = nullptr;
uint32_t base = 0;
bool published = false;
uint16_t last = 0;
uint32_t next = 0;  // entry used next

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t Subscriptions() { return link ? uint16_t(link->connection[174] | link->connection[175] << 8) : 0; }

uint16_t Get16(uint32_t index) {
    uint16_t v = 0;
    link->regGet(base, 16 * (index - 1), &v, 16);
    return v;
}
void Set16(uint32_t index, uint32_t v) { link->regSet(base, 16 * (index - 1), &v, 16); }

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int dlInit(dlLinkDpcConfigs* l) {
    link = l;
    base = Le32(l->connection);
    published = false;
    return 1;
}

__attribute__((visibility("default"))) void dlScanFirst(uint8_t n, MqttPublishEntry*, MqttReceiveBlock* receive) {
    for (uint16_t k = 0; k < Subscriptions() && k < kMqttReceiveBlocks; ++k) {
        std::snprintf(receive[k].topicFilter, sizeof receive[k].topicFilter, "plc/%u/s%u/#", n, k);
        receive[k].qos = 1;
    }
}

__attribute__((visibility("default"))) void dlScan(uint8_t n, MqttPublishEntry* publish, MqttReceiveBlock* receive) {
    if (link == nullptr) return;
    for (uint16_t k = 0; Get16(99) == 0 && k < Subscriptions() && k < kMqttReceiveBlocks; ++k) {
        MqttReceiveBlock& b = receive[k];
        for (uint32_t s = 0; s < b.used && s < kMqttSlotsPerBlock; ++s) {
            MqttMessageSlot& m = b.slots[s];
            if (m.flag != kMqttSlotStored) continue;
            Set16(100, Get16(100) + 1u);
            const char* r = std::strrchr(m.topic, '/');
            if (r == nullptr || r[1] != 'R') continue;
            const unsigned long index = std::strtoul(r + 2, nullptr, 10);
            char text[16] = {};
            std::memcpy(text, m.payload, m.payloadLength < 15 ? m.payloadLength : 15);
            if (index >= 1 && index < 100) Set16(static_cast<uint32_t>(index), std::strtoul(text, nullptr, 10));
        }
        b.used = 0;
    }
    const uint16_t v = Get16(1);
    if (published && v == last) return;
    for (uint32_t tries = 0; tries < kMqttPublishEntries; ++tries) {
        MqttPublishEntry& e = publish[next];
        next = (next + 1) % kMqttPublishEntries;
        if (e.state == kMqttEntryReady) continue;
        std::snprintf(e.topic, sizeof e.topic, "plc/%u/R1", n);
        e.payloadLength = static_cast<uint32_t>(std::snprintf(reinterpret_cast<char*>(e.payload), 16, "%u", v));
        e.qos = 1;
        e.retain = 0;
        e.state = kMqttEntryReady;
        published = true;
        last = v;
        return;
    }
}

__attribute__((visibility("default"))) void dlDeInit() {}
}
