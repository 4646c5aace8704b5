#include "testsupport/msgcfg_builder.h"

#include <cstring>

#include "core/nvram.h"
#include "core/plc_regs.h"

namespace {

struct Out {
    std::vector<u8> b;
    u32 At() const { return static_cast<u32>(b.size()); }
    void Grow(u32 n) { b.resize(b.size() + n, 0); }
    void Put32(u32 at, u32 v) { PutLe32(b.data() + at, v); }
    void Put16(u32 at, u16 v) { PutLe16(b.data() + at, v); }
};

struct Pool {
    std::string bytes;
    u32 Add(const std::string& t) {
        u32 at = static_cast<u32>(bytes.size());
        bytes += t;
        return at;
    }
};

}  // namespace

std::vector<u8> MsgCfgBuilder::Build(u32* poolAt) const {
    Out o;
    o.Grow(100);
    auto offsetField = [&](u32 pos) { return pos - 100 + base; };
    Pool pool;

    u32 contactsAt = o.At();
    o.Grow(static_cast<u32>(contacts.size()) * 20);
    u32 rxAt = o.At();
    o.Grow(static_cast<u32>(receive.size()) * 16);
    u32 txAt = o.At();
    o.Grow(static_cast<u32>(transmit.size()) * 16);
    u32 fiAt = o.At();
    o.Grow(fieldItems * 12);
    u32 listsAt = o.At();
    o.Grow(static_cast<u32>(receive.size() + transmit.size()) * 8);

    for (size_t i = 0; i < contacts.size(); ++i) {
        u32 e = contactsAt + static_cast<u32>(i) * 20;
        if (contacts[i].text.empty()) {
            o.Put32(e, contacts[i].registerAddress);
        } else {
            o.Put32(e, pool.Add(contacts[i].text));
            o.Put32(e + 4, static_cast<u32>(contacts[i].text.size()));
        }
        o.b[e + 16] = contacts[i].group;
    }
    u32 list = listsAt;
    auto entries = [&](const std::vector<MsgCfgEntry>& table, u32 at) {
        for (size_t i = 0; i < table.size(); ++i) {
            u32 e = at + static_cast<u32>(i) * 16;
            o.Put32(e, pool.Add(table[i].text));
            o.Put32(e + 4, static_cast<u32>(table[i].text.size()));
            o.b[e + 8] = table[i].group;
            o.Put32(e + 12, table[i].bitAddress);
            o.Put32(list, table[i].fieldList.empty() ? 0 : pool.Add(table[i].fieldList));
            o.Put32(list + 4, static_cast<u32>(table[i].fieldList.size()));
            list += 8;
        }
    };
    entries(receive, rxAt);
    entries(transmit, txAt);

    if (!centre.empty()) {
        o.Put32(48, pool.Add(centre));
        o.Put32(52, static_cast<u32>(centre.size()));
        o.b[68] = 1;
    }
    if (!pin.empty()) {
        o.Put32(72, pool.Add(pin));
        o.Put32(76, static_cast<u32>(pin.size()));
        o.b[69] = 1;
    }

    // GSM texts share the pool that ends where the record starts.
    struct GsmText {
        u32 field;
        const std::string* text;
    };
    const GsmText gsmTexts[] = {{8, &gsm.blockSize}, {12, &gsm.timeout}, {16, &gsm.apn},      {20, &gsm.user},
                                {24, &gsm.password}, {28, &gsm.forward}, {32, &gsm.sourcePort}};
    u32 gsmOffsets[7] = {};
    for (int i = 0; i < 7; ++i) gsmOffsets[i] = pool.Add(*gsmTexts[i].text);
    if (!gsm.operatorName.empty()) pool.Add(gsm.operatorName);  // runs to the end of the pool

    u32 poolStart = o.At();
    o.b.insert(o.b.end(), pool.bytes.begin(), pool.bytes.end());
    if (poolAt != nullptr) *poolAt = poolStart;

    if (gsm.size != 0) {
        u32 r = o.At();
        o.Grow(gsm.size);
        o.Put32(r, 0x47534D45);
        o.b[r + 4] = gsm.options;
        o.b[r + 5] = gsm.idle;
        o.b[r + 6] = static_cast<u8>(gsm.source | (gsm.operatorName.empty() ? 0 : 0x04));
        auto put = [&](u32 field, u32 value) {
            if (field + 4 <= gsm.size) o.Put32(r + field, value);
        };
        for (int i = 0; i < 7; ++i)
            put(gsmTexts[i].field,
                gsmOffsets[i] | (static_cast<u32>(gsmTexts[i].text->size()) << 16));
        put(36, gsm.destination);
        put(44, gsm.signalRegister);
        put(48, gsm.keepConnected);
        put(52, gsm.holdTime);
        put(56, gsm.debugRegister);
    }

    u32 sectionSize = o.At();
    o.Put32(0, sectionSize);
    o.Put32(4, magic);
    o.Put32(8, base);
    o.Put32(12, static_cast<u32>(contacts.size()) * 20);
    o.Put32(16, offsetField(rxAt));
    o.Put32(20, static_cast<u32>(receive.size()) * 16);
    o.Put32(24, offsetField(txAt));
    o.Put32(28, static_cast<u32>(transmit.size()) * 16);
    o.Put32(32, offsetField(fiAt));
    o.Put32(36, fieldItems * 12);
    o.Put32(40, offsetField(poolStart));
    o.Put32(44, static_cast<u32>(pool.bytes.size()));
    o.b[57] = poll;
    o.Put32(60, statusRegister);
    o.Put32(64, storageRegister);
    o.b[70] = initMode;
    o.b[92] = static_cast<u8>(port + 1);
    std::memcpy(&o.b[93], mode, 5);
    o.b[99] = portOptions;

    if (email) {
        u32 e = o.At();
        o.Grow(160);
        o.Put32(e, 160);
        o.Put32(e + 4, 0x454D414C);
        o.Put32(e + 8, base);
        o.Put32(e + 16, base + 0);
        o.Put32(e + 24, base + 0);
        o.Put32(e + 32, base + 0);
        o.Put32(e + 40, base + 0);
    }
    return o.b;
}

void MsgCfg_Store(const std::vector<u8>& body) {
    if (body.empty() || body.size() > kSmsCapacity) {
        sms_table_bl.SetHeader(0xFFFF, 0);
        NV_EditorFeatures &= ~kFeatSms;
        return;
    }
    std::memcpy(sms_table, body.data(), body.size());
    sms_table_bl.SetHeader(crc16(body.data(), static_cast<u32>(body.size())), static_cast<u32>(body.size()));
    NV_EditorFeatures |= kFeatSms;
}
