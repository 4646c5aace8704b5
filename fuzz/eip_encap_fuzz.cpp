// Hostile bytes through the EtherNet/IP adapter's encapsulation handling:
// whole messages, unconnected and connected CIP requests wrapped in valid
// encapsulation (so that the router, the objects and Forward Open are
// reached), common packet formats and paths. No reply may pass the
// transmit buffer or claim more bytes than it holds.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/dpr.h"
#include "net/eip/cip.h"
#include "net/eip/eip.h"
#include "platform/nx_api.h"
#include "platform/root.h"
#include "testsupport/eip_originator.h"
#include "testsupport/fuzz_env.h"
#include "testsupport/net_config_builder.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

alignas(8) u8 g_area[64 * (1520 + kNxPacketHeaderBytes)];
NxPacketPool g_pool;
NxIp g_ip[2];

void Start() {
    for (int i = 0; i < 2; ++i) {
        g_ip[i].index = static_cast<u32>(i);
        g_ip[i].name = i == 0 ? "eth0" : "eth1";
        g_ip[i].pool = &g_pool;
        g_ip[i].address = 0x7F000001;
        g_ip[i].mask = 0xFF000000;
        Dpr_Configuration[i].flags.service = kSvcEip;
        const u32 map[6] = {0x8000, 8, 0x8000 + 1600, 8, 0x8000 + 3200, 2};
        for (int k = 0; k < 6; ++k) Dpr_Configuration[i].eip[k] = map[k];
        Eip_Init(&g_ip[i], &g_pool);  // the session sockets may be refused; the objects are made
    }
}

void Serve(int port, const eipo::Bytes& message) {
    EncapMsg(port, message.data(), static_cast<u32>(message.size()));
    u32 n = 0;
    const u8* reply = Eip_Reply(&n);
    Check(n >= kEipHeaderBytes && n <= kEipBufferBytes);
    Check(reply != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static u32 inputs = 0;
    static bool ready = [] {
        FuzzEnv_Init("plc_eip_fuzz");
        setenv("PLC_PORT_OFFSET", std::to_string(NetFreePortOffset(static_cast<u16>(kEipTcpPort))).c_str(), 1);
        Root_Init();
        _nx_packet_pool_create(&g_pool, "fuzz", 1520, g_area, sizeof g_area);
        Start();
        return true;
    }();
    (void)ready;
    if (size < 2) return 0;
    // Connections opened by earlier inputs end now and then.
    if (++inputs % 64 == 0) Start();
    const int port = data[0] & 1;
    const u8 mode = static_cast<u8>(data[0] >> 1) % 5;
    eipo::Bytes body(data + 1, data + size);
    if (body.size() > kEipBufferBytes) body.resize(kEipBufferBytes);
    switch (mode) {
        case 0: Serve(port, body); break;
        case 1: Serve(port, eipo::Encap(kEipSendRRData, 1, eipo::RRData(body))); break;
        case 2:
            if (body.size() >= 6) {
                const u32 id = GetLe32(body.data());
                const u16 sequence = GetLe16(body.data() + 4);
                Serve(port, eipo::Encap(kEipSendUnitData, 1,
                                        eipo::UnitData(id, sequence, eipo::Bytes(body.begin() + 6, body.end()))));
            }
            break;
        case 3: {
            eipo::Bytes d{0, 0, 0, 0, 0, 0};
            d.insert(d.end(), body.begin(), body.end());
            Serve(port, eipo::Encap(static_cast<u16>(data[0] & 0x40 ? kEipSendUnitData : kEipSendRRData), 1, d));
            break;
        }
        default: {
            CipPathInfo info;
            if (Epath_Parse(body.data(), &info, static_cast<u32>(body.size())) == 0) Check(info.entryCount <= 3);
            EipCommonPktInfo cpf;
            if (EipParseCpf(body.data(), static_cast<u32>(body.size()), &cpf) && cpf.dataPresent)
                Check(cpf.data >= body.data() && cpf.data + cpf.dataLength <= body.data() + body.size());
            break;
        }
    }
    return 0;
}
