// The set-up the workbench tests share: a fresh root and a free port offset
// for the process, the runtime's workbench state cleared before and after.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "iec/ext/q4cs.h"
#include "iec/kernel/q4host.h"
#include "platform/root.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/temp_root.h"

class WorkbenchEnv {
public:
    WorkbenchEnv() {
        offset = NetFreePortOffset(kQ4CSWorkbenchPort);
        setenv("PLC_PORT_OFFSET", std::to_string(offset).c_str(), 1);
        root = std::make_unique<TempRoot>();
        Root_Init();
        Q4Host_Reset();
    }
    ~WorkbenchEnv() {
        Q4Host_Reset();
        root.reset();
        unsetenv("PLC_PORT_OFFSET");
        Root_Init();
    }
    WorkbenchEnv(const WorkbenchEnv&) = delete;
    WorkbenchEnv& operator=(const WorkbenchEnv&) = delete;
    int WorkbenchPort() const { return kQ4CSWorkbenchPort + offset; }

    int offset = 0;
    std::unique_ptr<TempRoot> root;
};

// A server context without listener, and one of its slots made a client of
// the given kind.
struct BareServer {
    BareServer() {
        Q4CSSettings none;
        Q4CS_Open(&cs, &none);
    }
    ~BareServer() { Q4CS_Close(&cs); }
    Q4CSSlot& Take(u16 number, u16 kind) {
        Q4CSSlot& s = cs.slots[number - 1];
        Q4CS_ClearSlot(s);
        s.number = number;
        s.flags = static_cast<u16>(kQ4CSUsed | kind);
        return s;
    }
    Q4CSContext cs;
};
