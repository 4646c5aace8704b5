#include "testsupport/mqtt_table.h"

#include <fstream>
#include <iterator>

#include "core/nvram.h"
#include "core/plc_regs.h"

namespace {

struct Pool {
    std::vector<u8> bytes;
    // Appends a text and answers its {offset, length}.
    std::pair<u32, u32> Add(const std::string& s) {
        const u32 at = static_cast<u32>(bytes.size());
        bytes.insert(bytes.end(), s.begin(), s.end());
        return {at, static_cast<u32>(s.size())};
    }
};

void PutText(u8* rec, u32 field, std::pair<u32, u32> t) {
    PutLe32(rec + field, t.first);
    PutLe32(rec + field + 4, t.second);
}

}  // namespace

std::vector<u8> MqttTableBody(u32 statusReg, u32 enableReg, const std::vector<MqttConnectionSpec>& connections) {
    constexpr u32 kHeader = 40, kRecord = 184;
    const u32 n = static_cast<u32>(connections.size());
    std::vector<u8> records(kRecord * n);
    Pool pool, attach;
    for (u32 i = 0; i < n; ++i) {
        const MqttConnectionSpec& c = connections[i];
        u8* r = &records[kRecord * i];
        PutLe32(r, c.pluginBase);
        r[4] = c.number;
        r[5] = static_cast<u8>((c.will ? 1 : 0) | (c.tls ? 2 : 0) | (c.clean ? 4 : 0) | (c.willRetain ? 8 : 0) |
                               (c.sparkplugWill ? 16 : 0) | (c.role << 5));
        r[6] = c.payloadMode;
        r[7] = c.addressForm;
        r[8] = c.willQos;
        r[9] = c.certData;
        PutLe16(r + 12, c.port);
        for (int k = 0; k < 3; ++k) PutLe16(r + 14 + 2 * k, c.version[k]);
        PutLe16(r + 20, c.tlsVersion);
        PutLe32(r + 24, c.keepAlive);
        PutText(r, 36, pool.Add(c.name));
        PutText(r, 52, pool.Add(c.clientId));
        if (c.addressForm == 2) {
            auto h = pool.Add(c.host);
            PutText(r, 60, h);
        } else {
            PutLe32(r + 60, c.address);
        }
        PutText(r, 68, pool.Add(c.user));
        PutText(r, 76, pool.Add(c.password));
        PutText(r, 84, pool.Add(c.willTopic));
        PutText(r, 92, pool.Add(c.willPayload));
        PutText(r, c.certData == 1 ? 100 : 108, pool.Add(c.ca));
        PutText(r, 116, pool.Add(c.cert));
        PutText(r, 124, pool.Add(c.key));
        PutText(r, 132, pool.Add(c.keyPass));
        PutLe16(r + 172, c.publishTopics);
        PutLe16(r + 174, c.subscriptions);
        if (c.payloadMode == 2) {
            // Node-death record: 44 bytes, then its texts.
            const u32 at = static_cast<u32>(attach.bytes.size());
            attach.bytes.resize(at + 44);
            Pool texts;
            auto edge = texts.Add(c.edge), group = texts.Add(c.group), ns = texts.Add(c.ns);
            PutText(&attach.bytes[at], 16, edge);
            PutText(&attach.bytes[at], 24, group);
            PutText(&attach.bytes[at], 32, ns);
            PutLe32(&attach.bytes[at + 40], 44);
            attach.bytes.insert(attach.bytes.end(), texts.bytes.begin(), texts.bytes.end());
            PutLe32(r + 28, at);
        }
        if (c.noImage) {
            PutLe32(r + 176, 0x7FFFFFF0);
            PutLe32(r + 180, 16);
        } else {
            PutLe32(r + 176, static_cast<u32>(attach.bytes.size()));
            PutLe32(r + 180, static_cast<u32>(c.image.size()));
            attach.bytes.insert(attach.bytes.end(), c.image.begin(), c.image.end());
        }
    }
    std::vector<u8> body(kHeader);
    PutLe16(&body[2], kHeader);
    PutLe32(&body[12], statusReg);
    PutLe32(&body[16], enableReg);
    body[20] = static_cast<u8>(n);
    body.insert(body.end(), records.begin(), records.end());
    PutLe32(&body[32], static_cast<u32>(body.size()));
    body.insert(body.end(), pool.bytes.begin(), pool.bytes.end());
    PutLe32(&body[36], static_cast<u32>(body.size()));
    body.insert(body.end(), attach.bytes.begin(), attach.bytes.end());
    if (body.size() % 2) body.push_back(0);
    return body;
}

std::vector<u8> MqttTestPluginImage() {
    std::ifstream in(PLC_MQTT_TEST_PLUGIN, std::ios::binary);
    return std::vector<u8>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void MqttTable_Store(const std::vector<u8>& body) {
    nv_write(mqtt_tbl.Data(), body.data(), static_cast<u32>(body.size()));
    mqtt_tbl.SetHeader(crc16(body.data(), static_cast<u32>(body.size())), static_cast<u32>(body.size()));
}
