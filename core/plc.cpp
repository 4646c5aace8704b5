#include "core/plc.h"

#include "core/plc_regs.h"

// Least behaviour until the scan module is built: the mode register follows
// the request within its range.
void PlcScan() {}
void SetPlcMode(u8 requested) {
    if (requested <= 4) SR_Put(5, requested);
}
void IoStart() {}
int IoConfig() { return 0; }
void PlcInit(int cold) { PlcRegInit(cold); }
void NetConfig() {}
void Plc_NetInit() {}
