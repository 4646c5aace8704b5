#include "net/enet_peers.h"

#include "net/dpr.h"
#include "platform/system.h"

namespace {

u32* Field(int iface, int field) {
    if (iface < 0 || iface > 1) return nullptr;
    EnetPortConfig& c = Dpr_Configuration[iface];
    switch (field) {
        case kNetDns: return &c.dns;
        case kNetIp: return &c.ip;
        case kNetMask: return &c.mask;
        case kNetGateway: return &c.gateway;
        default: return nullptr;
    }
}

}  // namespace

void Enet_NetRead(int iface, int field, u8* out, u32 max) {
    if (iface < 0 || iface > 1) return;
    if (field == kNetDhcp) {
        if (max >= 1) out[0] = Dpr_Configuration[iface].dhcp;
        return;
    }
    u32* f = Field(iface, field);
    if (f != nullptr && max >= 4) PutLe32(out, *f);
}

void Enet_NetWrite(int iface, int field, const u8* in, u32 len) {
    if (iface < 0 || iface > 1) return;
    if (field == kNetDhcp) {
        if (len >= 1) Dpr_Configuration[iface].dhcp = in[0];
        return;
    }
    u32* f = Field(iface, field);
    if (f != nullptr && len >= 4) *f = GetLe32(in);
}

