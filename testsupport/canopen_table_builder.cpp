#include "testsupport/canopen_table_builder.h"

#include "core/nvram.h"
#include "io/canopen_table.h"
#include "core/plc_regs.h"

CanOpenTableBuilder::CanOpenTableBuilder(u8 nodeId, u8 bitRate) : fixed_(kCoRecordBytes, 0) {
    fixed_[kCoBitRate] = bitRate;
    fixed_[kCoNodeId] = nodeId;
    PutLe32(&fixed_[kCoEmcyCobId], 0x80000000u);  // no EMCY
    fixed_[kCoSdoServerCount] = 0x80;             // default server only
}

CanOpenTableBuilder& CanOpenTableBuilder::StartupFlags(u8 flags) { return Field8(kCoStartupFlags, flags); }
CanOpenTableBuilder& CanOpenTableBuilder::Heartbeat(u16 ms) { return Field16(kCoHeartbeat, ms); }
CanOpenTableBuilder& CanOpenTableBuilder::StatusRegister(u32 a) { return Field32(kCoStatusRegister, a); }

CanOpenTableBuilder& CanOpenTableBuilder::Guarding(u16 guardMs, u8 lifeFactor) {
    Field16(kCoGuardTime, guardMs);
    return Field8(kCoLifeFactor, lifeFactor);
}

CanOpenTableBuilder& CanOpenTableBuilder::Consumer(u16 ms, u8 node) {
    consumers_.push_back(ms | (static_cast<u32>(node) << 16));
    return *this;
}

CanOpenTableBuilder& CanOpenTableBuilder::NodeRow(Row row) {
    rows_.push_back(std::move(row));
    return *this;
}

CanOpenTableBuilder& CanOpenTableBuilder::Sync(u32 cobId, u32 periodUs, u32 windowUs) {
    Field32(kCoSyncCobId, cobId);
    Field32(kCoSyncPeriod, periodUs);
    return Field32(kCoSyncWindow, windowUs);
}

CanOpenTableBuilder& CanOpenTableBuilder::SdoServer(u32 clientToServer, u32 serverToClient) {
    sdoServers_.push_back({clientToServer, serverToClient});
    return *this;
}

CanOpenTableBuilder& CanOpenTableBuilder::Tpdo(u32 cobId, u8 type, std::vector<u32> map, u16 inhibit, u16 eventMs,
                                               u32 trigger) {
    tpdos_.push_back({cobId, type, std::move(map), inhibit, eventMs, trigger});
    return *this;
}

CanOpenTableBuilder& CanOpenTableBuilder::Rpdo(u32 cobId, u8 type, std::vector<u32> map) {
    rpdos_.push_back({cobId, type, std::move(map), 0, 0, 0});
    return *this;
}

CanOpenTableBuilder& CanOpenTableBuilder::Field8(u32 off, u8 v) {
    overrides_.push_back({off, {v}});
    return *this;
}
CanOpenTableBuilder& CanOpenTableBuilder::Field16(u32 off, u16 v) {
    std::vector<u8> b(2);
    PutLe16(b.data(), v);
    overrides_.push_back({off, b});
    return *this;
}
CanOpenTableBuilder& CanOpenTableBuilder::Field32(u32 off, u32 v) {
    std::vector<u8> b(4);
    PutLe32(b.data(), v);
    overrides_.push_back({off, b});
    return *this;
}

std::vector<u8> CanOpenTableBuilder::Build() const {
    std::vector<u8> out = fixed_;
    if (!consumers_.empty()) {
        out[kCoNodeCount] = static_cast<u8>(consumers_.size());
        PutLe32(&out[kCoNodeTable], static_cast<u32>(out.size()));
        for (u32 c : consumers_) {
            u8 b[4];
            PutLe32(b, c);
            out.insert(out.end(), b, b + 4);
        }
    }
    auto put32 = [&out](u32 v) {
        u8 b[4];
        PutLe32(b, v);
        out.insert(out.end(), b, b + 4);
    };
    auto here = [&out] { return static_cast<u32>(out.size()); };
    if (!rows_.empty()) {
        out[kCoNodeCount] = static_cast<u8>(rows_.size());
        const u32 table = here();
        PutLe32(&out[kCoNodeTable], table);
        out.resize(out.size() + rows_.size() * kCoNodeRowBytes, 0);
        for (size_t k = 0; k < rows_.size(); ++k) {
            const Row& r = rows_[k];
            u8* q = &out[table + k * kCoNodeRowBytes];
            q[0] = r.flags;
            q[1] = r.lifeFactor;
            PutLe16(q + 2, r.timeMs);
            q[4] = r.bootFlags;
            q[5] = r.downloadFlags;
            q[7] = r.node;
            const u32 words[10] = {r.deviceType, r.vendor, r.product, r.revision, r.serial,
                                   r.swDate,     r.swTime, r.configDate, r.configTime, r.watchedId};
            for (int i = 0; i < 10; ++i) PutLe32(q + 8 + 4 * i, words[i]);
            PutLe32(q + 48, static_cast<u32>(r.objects.size()));
        }
        for (size_t k = 0; k < rows_.size(); ++k) {
            PutLe32(&out[table + k * kCoNodeRowBytes + 52], here());
            for (const Row::Object& o : rows_[k].objects) {
                u8 b[8];
                PutLe16(b, o.index);
                b[2] = o.subindex;
                b[3] = o.size;
                PutLe32(b + 4, o.value);
                out.insert(out.end(), b, b + 8);
            }
        }
        PutLe32(&out[kCoSdoClients], here());
        for (const Row& r : rows_) {
            put32(r.clientToServer);
            put32(r.serverToClient);
            put32(0);
        }
    }
    if (!sdoServers_.empty()) {
        out[kCoSdoServerCount] = static_cast<u8>(sdoServers_.size());
        PutLe32(&out[kCoSdoServers], here());
        for (auto [c2s, s2c] : sdoServers_) {
            put32(c2s);
            put32(s2c);
            put32(0);
        }
    }
    const struct {
        const std::vector<Pdo>& pdos;
        u32 count, objects, cobs, comm, map;
        bool tx;
    } kinds[] = {{tpdos_, kCoTpdoCount, kCoTpdoObjectCounts, kCoTpdoCobIds, kCoTpdoComm, kCoTpdoMap, true},
                 {rpdos_, kCoRpdoCount, kCoRpdoObjectCounts, kCoRpdoCobIds, kCoRpdoComm, kCoRpdoMap, false}};
    for (const auto& k : kinds) {
        if (k.pdos.empty()) continue;
        PutLe16(&out[k.count], static_cast<u16>(k.pdos.size()));
        PutLe32(&out[k.objects], here());
        for (const Pdo& p : k.pdos) out.push_back(static_cast<u8>(p.map.size()));
        PutLe32(&out[k.cobs], here());
        for (const Pdo& p : k.pdos) put32(p.cobId);
        PutLe32(&out[k.comm], here());
        for (const Pdo& p : k.pdos) {
            put32(p.type | (k.tx ? p.trigger << 8 : 0));
            put32(p.inhibit | (static_cast<u32>(p.eventMs) << 16));
        }
        PutLe32(&out[k.map], here());
        for (const Pdo& p : k.pdos) {
            for (u32 w : p.map) put32(w);
        }
    }
    for (const auto& [off, bytes] : overrides_) {
        if (out.size() < off + bytes.size()) out.resize(off + bytes.size());
        std::copy(bytes.begin(), bytes.end(), out.begin() + off);
    }
    return out;
}

void CanOpenTableBuilder::Install() const {
    std::vector<u8> rec = Build();
    std::copy(rec.begin(), rec.end(), copendnet_tbl.Data());
    copendnet_tbl.SetHeader(crc16(rec.data(), static_cast<u32>(rec.size())), static_cast<u32>(rec.size()));
}
