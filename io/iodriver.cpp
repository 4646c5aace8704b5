#include "io/iodriver.h"

#include <cstdio>
#include <cstring>

u16 io_init[3] = {0xFF, 0xFF, 0xFF};
IoDriverCalls ioDriverCalls;

namespace {

struct FakeModule {
    u16 identity = 0xFF;
    char model[7] = "";
    u16 counts[4] = {};
    int cfgResult = 0;
};
FakeModule g_modules[3];

}  // namespace

void IoDriver_Reset() {
    for (auto& m : g_modules) m = FakeModule{};
    for (auto& id : io_init) id = 0xFF;
    ioDriverCalls = IoDriverCalls{};
}

void IoDriver_SetModule(int slot, u16 identity, const char* model, u16 di, u16 dq, u16 ai, u16 aq, int cfgResult) {
    if (slot < 0 || slot > 2) return;
    FakeModule& m = g_modules[slot];
    m.identity = identity;
    std::snprintf(m.model, sizeof m.model, "%-6.6s", model);
    m.counts[0] = di;
    m.counts[1] = dq;
    m.counts[2] = ai;
    m.counts[3] = aq;
    m.cfgResult = cfgResult;
}

void io_driver(IoMessage* message) {
    if (message == nullptr) return;
    message->status = 0;
    if (message->slot > 1) return;
    if (message->kind == kIoMsgStart) ioDriverCalls.start[message->slot]++;
}

void get_io_info(u16* identities) {
    identities[0] = g_modules[0].identity;
    identities[1] = g_modules[1].identity;
}

int IoInit(const u16* identities, int slotCount) {
    ioDriverCalls.init++;
    int n = slotCount < 2 ? slotCount : 2;
    for (int i = 0; i < n; ++i) io_init[i] = identities[i];
    io_init[2] = g_modules[2].identity;
    return 0;
}

int IoCfg(IoSlotRecord* record, int slot) {
    if (slot < 0 || slot > 2) return 0;
    ioDriverCalls.cfg[slot]++;
    const FakeModule& m = g_modules[slot];
    char text[12];
    std::snprintf(text, sizeof text, "I/O: %-6.6s", slot == 2 ? "VDL420" : m.model);
    std::memcpy(record->info.text, text, 11);
    for (int k = 0; k < 4; ++k) record->SetCount(k, slot == 2 ? 0 : m.counts[k]);
    record->info.status = static_cast<char>(m.cfgResult);
    record->info.configured = m.cfgResult < 2 ? static_cast<u8>(1 - m.cfgResult) : 0;
    return 0;
}

void IoGetIs(u8*, int slot, u32 startBit, u32) {
    if (slot < 0 || slot > 1) return;
    ioDriverCalls.getIs[slot]++;
    ioDriverCalls.lastStartBit[slot] = startBit;
}
void IoPutQs(u8*, int slot, u32 startBit, u32) {
    if (slot < 0 || slot > 1) return;
    ioDriverCalls.putQs[slot]++;
    ioDriverCalls.lastPutStartBit[slot] = startBit;
}
void IoGetAIs(u8*, int slot, u32, u32) {
    if (slot >= 0 && slot <= 1) ioDriverCalls.getAIs[slot]++;
}
void IoPutAQs(u8*, int slot, u32, u32) {
    if (slot >= 0 && slot <= 1) ioDriverCalls.putAQs[slot]++;
}
void IoService(int slot) {
    if (slot >= 0 && slot <= 1) ioDriverCalls.service[slot]++;
}
int IoStop() {
    ioDriverCalls.stop++;
    return 0;
}
int write_io_eeprom(u8, u32, u32, const u8*, int) {
    ioDriverCalls.eepromWrites++;
    return 0;
}
