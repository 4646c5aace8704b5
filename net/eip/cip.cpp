#include "net/eip/cip.h"

#include <cstring>

namespace {

struct State {
    CipIdentity identity[kCipInstances];
    CipMessageRouter router[kCipInstances];
    CipConnManager manager[kCipInstances];
    CipAssembly assembly[kCipInstances];
    CipTcpIp tcpIp[kCipInstances];
    CipEnetLink link[kCipInstances];
    CipConnection connection[kCipConnections];
    CipConnConfig config[kCipConnections];
};
State g;

// First free record of a table, marked allocated and numbered; the caller's
// view of a fresh record is a cleared one.
template <class T, size_t N>
int Allocate(T (&table)[N], T** out) {
    for (size_t i = 0; i < N; ++i) {
        if (table[i].allocated) continue;
        table[i] = T{};
        table[i].allocated = 1;
        table[i].instance = static_cast<u16>(i + 1);
        *out = &table[i];
        return 0;
    }
    *out = nullptr;
    return 1;
}

template <class T, size_t N>
T* Find(T (&table)[N], u32 instance) {
    for (T& r : table)
        if (r.allocated && r.instance == instance) return &r;
    return nullptr;
}

u32 Header(u8* reply, u8 service, u8 general) {
    reply[0] = static_cast<u8>(service | 0x80);
    reply[1] = 0;
    reply[2] = general;
    reply[3] = 0;
    return 4;
}

// Finds the ready instance a request addresses, or answers the error: 0x08
// for class-level requests, 0x16 for a missing or unready instance.
template <class T, size_t N>
T* Target(T (&table)[N], const CipRequest& r, u8* reply, u32* length) {
    if (r.instance == 0) {
        *length = Header(reply, r.service, kCipServiceNotSupported);
        return nullptr;
    }
    T* p = Find(table, r.instance);
    if (p == nullptr || !p->ready) {
        *length = Header(reply, r.service, kCipObjectDoesNotExist);
        return nullptr;
    }
    return p;
}

// The checks of a Set: exactly `size` bytes.
bool SetLengthOk(const CipRequest& r, u32 size, u8* reply, u32* length) {
    if (r.length > size) {
        *length = Header(reply, r.service, kCipTooMuchData);
        return false;
    }
    if (r.length < size) {
        *length = Header(reply, r.service, kCipNotEnoughData);
        return false;
    }
    return true;
}

u32 Put16(u8* reply, u8 service, u16 v) {
    u32 n = Header(reply, service, kCipOk);
    PutLe16(reply + n, v);
    return n + 2;
}

u32 Put32(u8* reply, u8 service, u32 v) {
    u32 n = Header(reply, service, kCipOk);
    PutLe32(reply + n, v);
    return n + 4;
}

u32 PutBytes(u8* reply, u8 service, const u8* data, u32 size) {
    u32 n = Header(reply, service, kCipOk);
    if (size > kCipReplyMax - n) size = kCipReplyMax - n;
    if (size > 0) std::memcpy(reply + n, data, size);
    return n + size;
}

u16 AssemblyBytes(const CipAssembly& a) {
    u16 bits = static_cast<u16>(a.memberBits[0] + a.memberBits[1] + a.memberBits[2] + a.memberBits[3]);
    u16 bytes = static_cast<u16>(bits / 8);
    return a.data == nullptr ? 0 : bytes;
}

// ---------------------------------------------------------------------------
// Connection Manager.

constexpr u32 kForwardOpenFixed = 36;
constexpr u32 kForwardCloseFixed = 10;

u32 ForwardOpenError(u8* reply, const u8* d, u8 general, u16 extended) {
    u32 n = Header(reply, kCipForwardOpen, general);
    reply[3] = 1;
    PutLe16(reply + 4, extended);
    std::memcpy(reply + 6, d + 10, 8);  // connection serial, vendor, originator serial
    reply[14] = 0;
    return n + 11;
}

u32 ForwardOpen(CipConnManager& m, const CipRequest& r, u8* reply) {
    if (r.length < kForwardOpenFixed) return Header(reply, r.service, kCipNotEnoughData);
    const u8* d = r.data;
    const u32 pathWords = d[35];
    const u32 want = kForwardOpenFixed + 2 * pathWords;
    if (r.length < want) return Header(reply, r.service, kCipNotEnoughData);
    if (r.length > want) return Header(reply, r.service, kCipTooMuchData);
    u32 slot = kCipConnections;
    for (u32 i = 0; i < kCipConnections; ++i)
        if (m.configs[i] == nullptr) {
            slot = i;
            break;
        }
    if (slot == kCipConnections) return ForwardOpenError(reply, d, kCipConnFailure, kCipExtOutOfConnections);
    CipConnConfig* c = nullptr;
    if (Conn_Cfg_Inst_Allocate(&c) != 0)
        return ForwardOpenError(reply, d, kCipConnFailure, kCipExtTargetOutOfConnections);
    c->otId = GetLe32(d + 2);
    c->toId = GetLe32(d + 6);
    c->serial = GetLe16(d + 10);
    c->vendor = GetLe16(d + 12);
    c->originatorSerial = GetLe32(d + 14);
    c->timeoutMultiplier = d[18];
    c->otRpi = GetLe32(d + 22);
    c->otParams = GetLe16(d + 26);
    c->toRpi = GetLe32(d + 28);
    c->toParams = GetLe16(d + 32);
    c->transport = d[34];
    c->pathWords = static_cast<u8>(pathWords);
    if (2 * pathWords > kCipPathBytes) {
        Conn_Cfg_Inst_Free(c);
        return ForwardOpenError(reply, d, kCipConnFailure, kCipExtBadSegment);
    }
    std::memcpy(c->path, d + kForwardOpenFixed, 2 * pathWords);
    c->flags = static_cast<u8>((c->flags & ~0x38u) | ((m.instance & 7u) << 3));
    c->generalStatus = 0;
    c->extendedStatus = 0;
    if (m.open != nullptr) m.open(c);
    if (c->generalStatus != 0) {
        u8 general = c->generalStatus;
        u16 extended = c->extendedStatus;
        Conn_Cfg_Inst_Free(c);
        return ForwardOpenError(reply, d, general, extended);
    }
    m.configs[slot] = c;
    u32 n = Header(reply, r.service, kCipOk);
    PutLe32(reply + 4, c->otId);
    PutLe32(reply + 8, c->toId);
    std::memcpy(reply + 12, d + 10, 8);
    PutLe32(reply + 20, c->otRpi);
    PutLe32(reply + 24, c->toRpi);
    reply[28] = 0;
    reply[29] = 0;
    return n + 26;
}

u32 ForwardClose(CipConnManager& m, const CipRequest& r, u8* reply) {
    if (r.length < kForwardCloseFixed) return Header(reply, r.service, kCipNotEnoughData);
    const u8* d = r.data;
    const u16 serial = GetLe16(d + 2), vendor = GetLe16(d + 4);
    const u32 originator = GetLe32(d + 6);
    for (CipConnConfig*& c : m.configs) {
        if (c == nullptr || c->serial != serial || c->vendor != vendor || c->originatorSerial != originator) continue;
        u32 n = Header(reply, r.service, kCipOk);
        std::memcpy(reply + 4, d + 2, 8);
        reply[12] = 0;
        reply[13] = 0;
        CipConnConfig* closing = c;
        if (m.close != nullptr) m.close(closing);
        // The close handler takes the record off the list; without one it
        // is taken off here.
        for (CipConnConfig*& left : m.configs)
            if (left == closing) left = nullptr;
        if (closing->allocated) Conn_Cfg_Inst_Free(closing);
        return n + 10;
    }
    u32 n = Header(reply, r.service, kCipConnFailure);
    reply[3] = 1;
    PutLe16(reply + 4, kCipExtNotFound);
    std::memcpy(reply + 6, d + 2, 8);
    reply[14] = 0;
    reply[15] = 0;
    return n + 12;
}

// ---------------------------------------------------------------------------
// Connection attributes.

constexpr u8 kAnyState = 0xFF;
constexpr u8 St(u8 s) { return static_cast<u8>(1u << s); }

struct ConnAttr {
    u8 attribute;
    u8 size;      // bytes; 0 for the paths (their stored length)
    u8 setIo;     // states (bit per state) in which an I/O connection takes a Set; 0 never
    u8 setExplicit;
};
constexpr ConnAttr kConnAttrs[] = {
    {1, 1, 0, 0},
    {2, 1, 0, 0},
    {3, 1, St(1), 0},
    {4, 2, kAnyState, 0},
    {5, 2, kAnyState, 0},
    {6, 1, St(1), 0},
    {7, 2, St(1), 0},
    {8, 2, St(1), 0},
    {9, 2, St(1) | St(3) | St(4), St(3) | St(5)},
    {10, 4, kAnyState, 0},
    {11, 4, kAnyState, 0},
    {12, 1, St(1) | St(3) | St(4), St(3) | St(5)},
    {13, 2, 0, 0},
    {14, 0, St(1), 0},
    {15, 2, 0, 0},
    {16, 0, St(1), 0},
    {17, 2, St(1) | St(3) | St(4), 0},
};

const ConnAttr* ConnAttrOf(u8 attribute) {
    for (const ConnAttr& a : kConnAttrs)
        if (a.attribute == attribute) return &a;
    return nullptr;
}

// Value of an attribute as it goes on the wire; answers its length.
u32 ConnGet(const CipConnection& c, u8 attribute, u8* out) {
    switch (attribute) {
        case 1: out[0] = c.state; return 1;
        case 2: out[0] = c.type; return 1;
        case 3: out[0] = c.transport; return 1;
        case 4: PutLe16(out, c.producedId); return 2;
        case 5: PutLe16(out, c.consumedId); return 2;
        case 6: out[0] = c.initialComm; return 1;
        case 7: PutLe16(out, c.producedSize); return 2;
        case 8: PutLe16(out, c.consumedSize); return 2;
        case 9: PutLe16(out, c.expectedPacketRate); return 2;
        case 10: PutLe32(out, c.cipProducedId); return 4;
        case 11: PutLe32(out, c.cipConsumedId); return 4;
        case 12: out[0] = c.watchdogAction; return 1;
        case 13: PutLe16(out, c.producedPathLength); return 2;
        case 14: {
            u32 n = c.producedPathLength < kCipConnPathBytes ? c.producedPathLength : kCipConnPathBytes;
            std::memcpy(out, c.producedPath, n);
            return n;
        }
        case 15: PutLe16(out, c.consumedPathLength); return 2;
        case 16: {
            u32 n = c.consumedPathLength < kCipConnPathBytes ? c.consumedPathLength : kCipConnPathBytes;
            std::memcpy(out, c.consumedPath, n);
            return n;
        }
        case 17: PutLe16(out, c.inhibit); return 2;
        default: return 0;
    }
}

void ConnPut(CipConnection& c, u8 attribute, const u8* in, u32 n) {
    switch (attribute) {
        case 3: c.transport = in[0]; break;
        case 4: c.producedId = GetLe16(in); break;
        case 5: c.consumedId = GetLe16(in); break;
        case 6: c.initialComm = in[0]; break;
        case 7: c.producedSize = GetLe16(in); break;
        case 8: c.consumedSize = GetLe16(in); break;
        case 9: c.expectedPacketRate = GetLe16(in); break;
        case 10: c.cipProducedId = GetLe32(in); break;
        case 11: c.cipConsumedId = GetLe32(in); break;
        case 12: c.watchdogAction = in[0]; break;
        case 14: std::memcpy(c.producedPath, in, n); break;
        case 16: std::memcpy(c.consumedPath, in, n); break;
        case 17: c.inhibit = GetLe16(in); break;
        default: break;
    }
}

u32 ConnSet(CipConnection& c, const CipRequest& r, u8* reply) {
    const ConnAttr* a = ConnAttrOf(r.attribute);
    if (a == nullptr) return Header(reply, r.service, kCipAttributeNotSupported);
    if (c.type > 1) return Header(reply, r.service, kCipOk);  // nothing stored
    const u8 states = c.type == 1 ? a->setIo : a->setExplicit;
    if (c.state > 7 || !(states & St(c.state))) return Header(reply, r.service, kCipObjectStateConflict);
    u32 size = a->size;
    if (size == 0) size = r.attribute == 14 ? c.producedPathLength : c.consumedPathLength;
    if (size > kCipConnPathBytes && a->size == 0) size = kCipConnPathBytes;
    u32 n = 0;
    if (!SetLengthOk(r, size, reply, &n)) return n;
    ConnPut(c, r.attribute, r.data, size);
    if (r.attribute == 9) return Put16(reply, r.service, c.expectedPacketRate);
    return Header(reply, r.service, kCipOk);
}

}  // namespace

// ---------------------------------------------------------------------------
// Paths.

int Epath_Parse(const u8* p, CipPathInfo* info, u32 length) {
    *info = CipPathInfo{};
    u32 pos = 0;
    while (pos < length) {
        const u32 left = length - pos;
        const u8 s = p[pos];
        const u8 type = s >> 5;
        if (type == 0) {  // port segment
            const bool ext = (s & 0x0F) == 0x0F;
            u32 need, at;
            if (!(s & 0x10)) {
                need = ext ? 6 : 2;
                at = ext ? 4 : 1;
                if (need > left) return 1;
                info->linkSizePresent = 0;
                info->linkAddressSize = 1;
            } else {
                if (left < 2) return 1;
                const u32 n = p[pos + 1];
                need = n + (ext ? 4 : 2);
                at = ext ? 4 : 2;
                if (need > left) return 1;
                info->linkSizePresent = 1;
                info->linkAddressSize = n;
            }
            info->extendedPort = ext ? 1 : 0;
            info->port = ext ? GetLe16(p + pos + 2) : static_cast<u16>(s & 0x0F);
            info->linkAddress = p + pos + at;
            pos += need;
            continue;
        }
        if (type != 1) return 1;  // network, symbolic, data
        const u8 logical = (s >> 2) & 7;
        if (logical == 5) {  // electronic key
            if (left < 10) return 1;
            std::memcpy(info->key, p + pos + 2, 8);
            info->keyPresent = 1;
            pos += 10;
            continue;
        }
        if (logical == 2 || logical == 6) return 1;  // member, service
        if (info->entryCount >= 3) return 1;
        if ((s & 3) != 0 || left < 2) return 1;  // 16- and 32-bit formats
        CipPathEntry& e = info->entries[info->entryCount];
        if (logical == 0) {
            e.cls = p[pos + 1];
            pos += 2;
        } else {
            e.cls = info->entryCount > 0 ? info->entries[info->entryCount - 1].cls : 0;
        }
        // The instance or connection point of the entry.
        if (length - pos < 2) return 1;
        const u8 next = p[pos];
        const u8 nextLogical = (next >> 2) & 7;
        if ((next & 3) != 0) return 1;
        if (nextLogical == 1) e.instance = p[pos + 1];
        else if (nextLogical == 3) e.point = p[pos + 1];
        else return 1;
        pos += 2;
        if (nextLogical == 1 && length - pos >= 2 && ((p[pos] >> 2) & 7) == 4) {
            if ((p[pos] & 3) != 0) return 1;
            e.attribute = p[pos + 1];
            pos += 2;
        }
        ++info->entryCount;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Instances.

int Identity_Inst_Allocate(CipIdentity** out) { return Allocate(g.identity, out); }
int Message_Router_Inst_Allocate(CipMessageRouter** out) { return Allocate(g.router, out); }
int Conn_Manager_Inst_Allocate(CipConnManager** out) { return Allocate(g.manager, out); }
int Assembly_Inst_Allocate(CipAssembly** out) { return Allocate(g.assembly, out); }
int TcpIp_Inst_Allocate(CipTcpIp** out) { return Allocate(g.tcpIp, out); }
int Enet_Lnk_Inst_Allocate(CipEnetLink** out) { return Allocate(g.link, out); }
int Conn_Cfg_Inst_Allocate(CipConnConfig** out) { return Allocate(g.config, out); }
int Connection_Inst_Allocate(CipConnection** out) {
    int r = Allocate(g.connection, out);
    if (r == 0) (*out)->state = kCipConnConfiguring;
    return r;
}

void Identity_Inst_Ready(CipIdentity* p) {
    p->reset = nullptr;
    p->ready = 1;
}
void Message_Router_Inst_Ready(CipMessageRouter* p) { p->ready = 1; }
void Conn_Manager_Inst_Ready(CipConnManager* p) { p->ready = 1; }
void Assembly_Inst_Ready(CipAssembly* p) { p->ready = 1; }
void TcpIp_Inst_Ready(CipTcpIp* p) { p->ready = 1; }
void Enet_Lnk_Inst_Ready(CipEnetLink* p) { p->ready = 1; }
void Connection_Inst_Ready(CipConnection* p) {
    p->state = p->type == 0 ? kCipConnEstablished : p->type == 1 ? kCipConnConfiguring : kCipConnNonExistent;
    p->ready = 1;
}
void Conn_Cfg_Inst_Free(CipConnConfig* p) { *p = CipConnConfig{}; }
void Connection_Inst_Free(CipConnection* p) { *p = CipConnection{}; }

CipConnection* Cip_Connections() { return g.connection; }
CipConnConfig* Cip_ConnConfigs() { return g.config; }
CipConnManager* Cip_ConnManagers() { return g.manager; }

void Cip_Reset() { g = State{}; }

u32 Cip_ErrorReply(u8* reply, u8 service, u8 general, u32 words, const u16* additional) {
    u32 n = Header(reply, service, general);
    reply[3] = static_cast<u8>(words);
    for (u32 i = 0; i < words; ++i) PutLe16(reply + n + 2 * i, additional[i]);
    return n + 2 * words;
}

// ---------------------------------------------------------------------------
// Message router.

int Message_Router_Class_Install(CipMessageRouter* router, u16 cls, CipHandler handler) {
    for (CipRouterEntry& e : router->entries) {
        if (e.handler != nullptr) continue;
        e.cls = cls;
        e.handler = handler;
        return 0;
    }
    return 1;
}

u32 Message_Router_Service(const CipRequest& r, u8* reply) {
    if (r.cls == kCipClassRouter) {
        bool known = r.instance == 0 || Find(g.router, r.instance) != nullptr;
        return Header(reply, r.service, known ? kCipServiceNotSupported : kCipObjectDoesNotExist);
    }
    for (const CipMessageRouter& m : g.router) {
        if (!m.allocated) continue;
        for (const CipRouterEntry& e : m.entries)
            if (e.handler != nullptr && e.cls == r.cls) return e.handler(r, reply);
    }
    return Header(reply, r.service, kCipObjectDoesNotExist);
}

// ---------------------------------------------------------------------------
// Objects.

u32 Identity_Service(const CipRequest& r, u8* reply) {
    u32 n = 0;
    CipIdentity* id = Target(g.identity, r, reply, &n);
    if (id == nullptr) return n;
    if (r.service == kCipReset) {
        // The reset type byte is optional and changes nothing.
        if (id->reset != nullptr) id->reset();
        return Header(reply, r.service, kCipOk);
    }
    if (r.service != kCipGetSingle) return Header(reply, r.service, kCipServiceNotSupported);
    switch (r.attribute) {
        case 1: return Put16(reply, r.service, id->vendor);
        case 2: return Put16(reply, r.service, id->deviceType);
        case 3: return Put16(reply, r.service, id->productCode);
        case 4: {
            const u8 rev[2] = {id->major, id->minor};
            return PutBytes(reply, r.service, rev, 2);
        }
        case 5: return Put16(reply, r.service, id->status);
        case 6: return Put32(reply, r.service, id->serial);
        case 7: {
            u8 text[33] = {};
            size_t len = id->name != nullptr ? std::strlen(id->name) : 0;
            if (len > 32) len = 32;
            text[0] = static_cast<u8>(len);
            if (len > 0) std::memcpy(text + 1, id->name, len);
            return PutBytes(reply, r.service, text, static_cast<u32>(len + 1));
        }
        default: return Header(reply, r.service, kCipAttributeNotSupported);
    }
}

u32 Assembly_Service(const CipRequest& r, u8* reply) {
    u32 n = 0;
    CipAssembly* a = Target(g.assembly, r, reply, &n);
    if (a == nullptr) return n;
    if (r.service != kCipGetSingle && r.service != kCipSetSingle)
        return Header(reply, r.service, kCipServiceNotSupported);
    if (r.attribute != 3) return Header(reply, r.service, kCipAttributeNotSupported);
    const u16 size = AssemblyBytes(*a);
    if (r.service == kCipGetSingle) return PutBytes(reply, r.service, a->data, size);
    if (!SetLengthOk(r, size, reply, &n)) return n;
    if (size > 0) std::memcpy(a->data, r.data, size);
    return Header(reply, r.service, kCipOk);
}

u32 Conn_Manager_Service(const CipRequest& r, u8* reply) {
    if (r.instance == 0) return Header(reply, r.service, kCipServiceNotSupported);
    CipConnManager* m = Find(g.manager, r.instance);
    if (m == nullptr) return Header(reply, r.service, kCipObjectDoesNotExist);
    if (!m->ready) return Header(reply, r.service, kCipObjectStateConflict);
    if (r.service == kCipForwardOpen) return ForwardOpen(*m, r, reply);
    if (r.service == kCipForwardClose) return ForwardClose(*m, r, reply);
    return Header(reply, r.service, kCipServiceNotSupported);
}

u32 Connection_Service(const CipRequest& r, u8* reply) {
    u32 n = 0;
    CipConnection* c = Target(g.connection, r, reply, &n);
    if (c == nullptr) return n;
    switch (r.service) {
        case kCipGetSingle: {
            if (ConnAttrOf(r.attribute) == nullptr) return Header(reply, r.service, kCipInvalidAttributeValue);
            u8 value[kCipConnPathBytes];
            u32 len = ConnGet(*c, r.attribute, value);
            return PutBytes(reply, r.service, value, len);
        }
        case kCipSetSingle: return ConnSet(*c, r, reply);
        case kCipApplyAttributes:
            if (c->type != 1) return Header(reply, r.service, kCipObjectStateConflict);
            if (c->state == kCipConnConfiguring || c->state == 2) {
                c->state = kCipConnEstablished;
                return Header(reply, r.service, kCipOk);
            }
            if (c->state == kCipConnEstablished || c->state == kCipConnTimedOut)
                return Header(reply, r.service, kCipObjectStateConflict);
            return Header(reply, r.service, kCipServiceNotSupported);
        default: return Header(reply, r.service, kCipServiceNotSupported);
    }
}

u32 TcpIp_Service(const CipRequest& r, u8* reply) {
    u32 n = 0;
    CipTcpIp* t = Target(g.tcpIp, r, reply, &n);
    if (t == nullptr) return n;
    if (r.service == kCipGetSingle) {
        switch (r.attribute) {
            case 1: return Put32(reply, r.service, t->status);
            case 2: return Put32(reply, r.service, t->capability);
            case 4: {
                u8 value[2 + 2 * 8] = {};
                u32 words = t->linkPathWords <= 8 ? t->linkPathWords : 8;
                PutLe16(value, static_cast<u16>(words));
                if (t->linkPath != nullptr) std::memcpy(value + 2, t->linkPath, 2 * words);
                return PutBytes(reply, r.service, value, 2 + 2 * words);
            }
            default: return Header(reply, r.service, kCipAttributeNotSupported);
        }
    }
    if (r.service == kCipSetSingle) {
        if (r.attribute != 3) return Header(reply, r.service, kCipAttributeNotSupported);
        if (!SetLengthOk(r, 4, reply, &n)) return n;
        t->control = GetLe32(r.data);
        return Header(reply, r.service, kCipOk);
    }
    return Header(reply, r.service, kCipServiceNotSupported);
}

u32 Enet_Lnk_Service(const CipRequest& r, u8* reply) {
    u32 n = 0;
    CipEnetLink* l = Target(g.link, r, reply, &n);
    if (l == nullptr) return n;
    if (r.service != kCipGetSingle) return Header(reply, r.service, kCipServiceNotSupported);
    switch (r.attribute) {
        case 1: return Put32(reply, r.service, l->speed);
        case 2: return Put32(reply, r.service, l->flags);
        case 3: return PutBytes(reply, r.service, l->mac, 6);
        default: return Header(reply, r.service, kCipAttributeNotSupported);
    }
}

u32 Message_Router_Route(const u8* d, u32 length, u8* reply, u8 shortStatus) {
    const u8 service = length > 0 ? d[0] : 0;
    if (length < 2 || length - 2 < 2u * d[1]) return Header(reply, service, shortStatus);
    const u32 pathBytes = 2u * d[1];
    CipPathInfo path;
    // An empty path names nothing: no earlier request's path is reused.
    if (Epath_Parse(d + 2, &path, pathBytes) != 0 || path.entryCount == 0)
        return Header(reply, service, kCipPathSegmentError);
    CipRequest r;
    r.service = service;
    r.cls = path.entries[0].cls;
    r.instance = path.entries[0].instance;
    r.attribute = path.entries[0].attribute;
    r.data = d + 2 + pathBytes;
    r.length = static_cast<u16>(length - 2 - pathBytes);
    return Message_Router_Service(r, reply);
}

u32 Conn_Put_Data(const u8* d, u32 length, u8* reply, CipConnection* c) {
    const u8 service = length > 0 ? d[0] : 0;
    if (c == nullptr) return Header(reply, service, kCipObjectStateConflict);
    if (c->type == 0 && (c->state == kCipConnEstablished || c->state == kCipConnDeferred))
        return Message_Router_Route(d, length, reply, kCipNotEnoughData);
    // I/O connections carry no explicit requests.
    if (c->type == 1 && c->state == kCipConnEstablished) return Header(reply, service, kCipPathSegmentError);
    return Header(reply, service, kCipObjectStateConflict);
}
