// Damaged CAN definitions of a code image and hostile bus frames: edits of a
// definition whose variables use every kind, then frames delivered to the
// port as the port layer takes them from the bus, exchanges at VM times from
// the input, and program sends and receives. Nothing may read outside the
// image or write outside the database.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "iec/ext/q4can.h"
#include "iec/ext/q4vmcan.h"
#include "iec/kernel/q4vmcode.h"
#include "testsupport/can_def_builder.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

struct Seed {
    std::vector<u8> image;
    u32 def = 0;  // offset of the CAN definition
};

const Seed& GetSeed() {
    static const Seed seed = [] {
        IecImageBuilder b;
        const u16 d = b.Var(kQ4TypeDint), r = b.Real(0), x = b.Var(kQ4TypeBool), l = b.Lreal(0);
        b.CtSegment(32, 32);
        CanDefinition def;
        def.dynamic = 2;
        // A port without socket: frames reach it through the port layer's
        // delivery step, not a bus.
        def.ports = {{"virtual", 2, 3}};
        def.rcv = {{0x100, 0, 8}, {0x80000200u, 0, 4, 0, 0, 0, {1, 2, 3, 4}}};
        def.snd = {{0x300, 0, 8, 1, 10}, {0x301, 0, 3, 3, 5, 50}, {0x302, 0, 1, 2}};
        auto v = [](u16 msg, bool send, u8 kind, u8 type, u16 index, u8 offset, u8 length, u8 raw, u8 mask = 0,
                    u8 order = 0) {
            CanVarDef c;
            c.message = msg, c.send = send, c.kind = kind, c.type = type, c.index = index, c.offset = offset;
            c.length = length, c.raw = raw, c.mask = mask, c.order = order;
            return c;
        };
        CanVarDef scaled = v(0, false, 1, kQ4TypeReal, r, 2, 2, kQ4TypeInt);
        scaled.scale = 0.1f, scaled.shift = 3.0f;
        CanVarDef ct = v(1, true, 2, kQ4TypeDint, 0, 0, 4, kQ4TypeDint);
        ct.ctOffset = 8;
        def.vars = {v(0, false, 1, kQ4TypeDint, d, 0, 4, kQ4TypeDint, 0, 1),
                    v(0, false, 17, kQ4TypeDint, d, 5, 12, kQ4TypeUdint, 0x20, 1),
                    v(1, false, 33, kQ4TypeDint, d, 1, 0, 0),
                    v(0, true, 18, kQ4TypeLreal, l, 3, 20, kQ4TypeUdint, 0x08),
                    v(1, true, 34, kQ4TypeDint, d, 4, 0, 0),
                    v(2, true, 133, kQ4TypeBool, x, 0, 0, 0),
                    v(2, true, 135, kQ4TypeDint, d, 0, 0, 0),
                    v(1, true, 136, kQ4TypeDint, d, 0, 0, 0),
                    v(0, false, 131, kQ4TypeBool, x, 0, 0, 0),
                    scaled, ct};
        Seed out;
        out.image = b.Can(def).Build();
        out.def = Q4VMCode_GetCanDef(Q4Code{out.image.data(), static_cast<u32>(out.image.size())});
        return out;
    }();
    return seed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 2048) return 0;
    const Seed& seed = GetSeed();
    std::vector<u8> img = seed.image;
    // data[0] edits as (u8 offset, byte) pairs over the definition, which
    // runs from its header to near the end of the image.
    const u32 span = static_cast<u32>(img.size()) - seed.def;
    size_t k = 1;
    for (u32 e = 0; e < data[0] % 16 && k + 1 < size; ++e, k += 2) img[seed.def + data[k] % span] = data[k + 1];
    IecVmDb db(img);
    if (db.Result() != 0) return 0;
    u8* port = Q4VMCan_Port(db.Db(), 0);
    u32 now = 0;
    // The rest: 16-byte frame records, each followed by an exchange.
    for (; k + kCanFrameBytes <= size; k += kCanFrameBytes) {
        if (port) Q4Can_Deliver(db.Db(), port, CanFrame_Unpack(data + k));
        now = (now + data[k + 4] * 7u) % 86400000u;
        Q4VMCan_Exchange(db.Db(), now);
    }
    u8 buf[8] = {};
    u32 id = 0, n = 0;
    Q4VMCan_SendAppMsg(db.Db(), "1", 0x7FF, 8, buf, 1);
    Q4VMCan_RcvAppMsg(db.Db(), "", &id, &n, buf);
    Q4VMCan_Exchange(db.Db(), now + 1);
    return 0;
}
