// What the loopback tests of the HTTP server and of the register pages stand
// on: a port offset of their own, the card inserted, the file layer and the
// socket layer reset, and an eth0 instance with a packet pool.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "net/http_server.h"
#include "platform/cmdrun.h"
#include "platform/fx_api.h"
#include "platform/nx_api.h"
#include "platform/root.h"
#include "storage/cf_api.h"
#include "testsupport/net_config_builder.h"

class HttpNetEnv {
public:
    // Call from SetUp (the root must exist).
    void Start() {
        setenv("PLC_PORT_OFFSET", std::to_string(NetFreePortOffset(kHttpPort)).c_str(), 1);
        Root_Init();
        Nx_Reset();
        SysCmd_Reset();
        Fx_Reset();
        CF_Reset();
        ASSERT_TRUE(Fx_InsertMedium(0));
        area_.resize(64 * (1520 + kNxPacketHeaderBytes));
        _nx_packet_pool_create(&pool, "Packet Pool", 1520, area_.data(), static_cast<u32>(area_.size()));
        ip.name = "eth0";
        ip.pool = &pool;
    }
    void Stop() {
        Nx_Reset();
        Fx_Reset();
        CF_Reset();
        SysCmd_Reset();
        unsetenv("PLC_PORT_OFFSET");
        Root_Init();
    }

    NxPacketPool pool;
    NxIp ip;

private:
    std::vector<u8> area_;
};
