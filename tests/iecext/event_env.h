// The set-up the event-server tests share: a fresh root and a free port
// offset for the process, and the runtime's event server (queues of 1024,
// 0, 8000 and 16000 bytes) open on port 9000; the clients a test connects
// are closed after it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "iec/ext/q4evs.h"
#include "platform/root.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/temp_root.h"

class EventServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        offset = NetFreePortOffset(9000);
        setenv("PLC_PORT_OFFSET", std::to_string(offset).c_str(), 1);
        root = std::make_unique<TempRoot>();
        Root_Init();
        settings.capacity[0] = 1024;
        settings.capacity[1] = 0;
        settings.capacity[2] = 8000;
        settings.capacity[3] = 16000;
        settings.port = 9000;
        block.assign(Q4Evs_GetMemorySize(&settings), 0);
        server = reinterpret_cast<Q4EvsServer*>(block.data());
        ASSERT_EQ(Q4Evs_Open(server, &settings), 0);
    }
    void TearDown() override {
        for (int fd : clients) close(fd);
        Q4Evs_Close(server);
        root.reset();
        unsetenv("PLC_PORT_OFFSET");
        Root_Init();
    }

    int offset = 0;
    u32 now = 1000;
    std::unique_ptr<TempRoot> root;
    Q4EvsSettings settings;
    std::vector<u8> block;
    Q4EvsServer* server = nullptr;
    std::vector<int> clients;
};
