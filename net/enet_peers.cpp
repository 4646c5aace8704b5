#include "net/enet_peers.h"

#include "io/ioapi.h"
#include "net/dpr.h"
#include "net/tovra.h"
#include "platform/nx_api.h"
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

// No login list is kept yet: nobody is logged in.
bool NoWebUser() { return false; }

void TermSet(u8 control) { IoTermSet(control); }

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

void Enet_RegisterNeighbours() {
    Tovra_Register();
    SysNeighbours n{};
    n.netRead = Enet_NetRead;
    n.netWrite = Enet_NetWrite;
    n.webUserLoggedIn = NoWebUser;
    n.ioTermSet = TermSet;
    n.setMacId = Etn_SetMacId;
    SYS_SetNeighbours(n);
}
