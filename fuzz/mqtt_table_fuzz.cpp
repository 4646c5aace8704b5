// MQTT table: the header, the connection records, their texts in the string
// pool, the node-death records and the plug-in images are read from a body
// of any content. No read may leave the body, no text its field, and at
// most 8 connections and 64 subscriptions are taken.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/plc_regs.h"
#include "remote/mqtt.h"
#include "testsupport/fuzz_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("mqtt_table_fuzz");
    // The table names its status register; naming SR34 asks for a warm reset
    // when a status bit is cleared, which would end the run as it reboots the
    // board. Such a request is taken and dropped here.
    regPeers.portRequest = [](u8) {};
    // An exact-size copy, so that a read past the end is seen by the sanitizer.
    std::vector<u8> copy(data, data + size);
    const u16 crc = size >= 2 ? static_cast<u16>(data[0] | data[1] << 8) : 0;
    // Type 3 installs the plug-in images as well; a few inputs take that road.
    const int type = size > 0 && data[size - 1] == 0x33 ? 3 : 2;
    if (Mqtt_ReadTable(copy.data(), static_cast<u32>(copy.size()), crc, type) == 1) {
        const MqttClientState& s = Mqtt_State();
        if (s.count > kMqttConnectionsMax) std::abort();
        for (u32 i = 0; i < s.count; ++i) {
            MqttConnectionState& c = Mqtt_Connection(static_cast<int>(i));
            if (c.subscriptionCount > kMqttSubscriptionsMax || c.willLength > kMqttWillBytes) std::abort();
            for (const char* t : {c.name, c.address, c.hostName, c.user, c.password, c.clientId, c.willTopic})
                if (std::memchr(t, 0, kMqttTextChars) == nullptr) std::abort();
        }
    }
    return 0;
}
