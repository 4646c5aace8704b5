#include "testsupport/io_script.h"

#include <cstdio>

#include "io/i2c_io.h"
#include "io/ioapi.h"
#include "io/iodriver.h"

IoDriverCalls ioDriverCalls;

namespace {

struct ScriptedModule {
    bool on = false;
    u16 ident = 0xFF;
    char model[7] = "";
    u16 counts[4] = {};
    int cfgResult = 0;
};

struct State {
    ScriptedModule slots[2];
    bool any = false;
};
State g;

bool Scripted(int slot) { return slot >= 0 && slot < 2 && g.slots[slot].on; }

void Count(const IoMessage& m) {
    int s = m.slot < 3 ? m.slot : 0;
    switch (m.kind) {
        case kIoMsgInit: ++ioDriverCalls.init; break;
        case kIoMsgStart: ++ioDriverCalls.start[s]; break;
        case kIoMsgStop:
            if (m.slot == 0) ++ioDriverCalls.stop;  // IoStop stops both slots
            break;
        case kIoMsgService: ++ioDriverCalls.service[s]; break;
        case kIoMsgConfigure: ++ioDriverCalls.cfg[s]; break;
        case kIoMsgGetIs:
            ++ioDriverCalls.getIs[s];
            ioDriverCalls.lastStartBit[s] = 8u * m.start;
            break;
        case kIoMsgPutQs:
            ++ioDriverCalls.putQs[s];
            ioDriverCalls.lastPutStartBit[s] = 8u * m.start;
            break;
        case kIoMsgGetAIs: ++ioDriverCalls.getAIs[s]; break;
        case kIoMsgPutAQs: ++ioDriverCalls.putAQs[s]; break;
        default: break;
    }
}

void Exchange(IoMessage* m) {
    Count(*m);
    if (Scripted(m->slot) && (m->kind == kIoMsgConfigure || m->kind == kIoMsgQuery)) {
        const ScriptedModule& s = g.slots[m->slot];
        if (m->kind == kIoMsgQuery) {
            m->status = static_cast<u8>(s.cfgResult);
            m->name = s.model;
            for (int k = 0; k < 4; ++k) m->counts[k] = s.counts[k];
        }
        return;
    }
    io_driver(m);
}

int Probe(u16* idents) {
    if (!g.any) return I2cIo_ProbeSlots(idents);
    for (int s = 0; s < 2; ++s) idents[s] = g.slots[s].on ? g.slots[s].ident : 0xFF;
    idents[2] = 0xFF;
    return 3;
}

bool ServesOutsideTable(int slot, u16 ident) { return Scripted(slot) && g.slots[slot].ident == ident; }

}  // namespace

void IoScript_Install() {
    IoDriver_Reset();
    g = State{};
    ioDriverCalls = IoDriverCalls{};
    ioDriverPeers.exchange = Exchange;
    ioDriverPeers.probe = Probe;
    ioDriverPeers.servesOutsideTable = ServesOutsideTable;
}

void IoDriver_SetModule(int slot, u16 identity, const char* model, u16 di, u16 dq, u16 ai, u16 aq, int cfgResult) {
    if (slot < 0 || slot > 1) return;
    ScriptedModule& m = g.slots[slot];
    m.on = true;
    m.ident = identity;
    std::snprintf(m.model, sizeof m.model, "%-6.6s", model ? model : "");
    m.counts[0] = di;
    m.counts[1] = dq;
    m.counts[2] = ai;
    m.counts[3] = aq;
    m.cfgResult = cfgResult;
    g.any = true;
}
