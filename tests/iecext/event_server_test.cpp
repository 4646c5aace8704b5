// The event server in the process, with a test client on loopback: idle
// frames, acknowledgements with masks and keys, drops, lost-event notices
// and frame sizes. Times are given to the server, as the runtime gives them.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "iec/ext/q4evs.h"
#include "platform/root.h"
#include "testsupport/loopback.h"
#include "testsupport/manual_clock.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/temp_root.h"

namespace {

struct Event {
    u8 kind, code, slot;
    std::vector<u8> data;
};

class EventServer : public ::testing::Test {
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
    int Connect() {
        int fd = ConnectLoopback(9000 + offset);
        EXPECT_GE(fd, 0);
        clients.push_back(fd);
        pollfd p{server->listener, POLLIN, 0};
        poll(&p, 1, 2000);
        return fd;
    }
    void Step(u32 ms = 0) {
        now += ms;
        Q4Evs_Activate(server, now);
    }
    // The next frame from the client's socket, its events parsed; empty
    // when none came.
    std::vector<Event> Frame(int fd, u32* size = nullptr) {
        std::vector<u8> f;
        auto read = [&](size_t n) {
            while (f.size() < n) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 2000) != 1) return false;
                u8 b[1024];
                ssize_t got = recv(fd, b, n - f.size(), 0);
                if (got <= 0) return false;
                f.insert(f.end(), b, b + got);
            }
            return true;
        };
        std::vector<Event> out;
        if (!read(4) || f[0] != 'Q' || f[1] != '4' || !read(GetBe16(&f[2]) + 4u)) return out;
        if (size) *size = static_cast<u32>(f.size());
        EXPECT_EQ(f[4], 18);
        size_t at = 6;
        for (u8 k = 0; k < f[5]; ++k) {
            Event e{f[at], f[at + 1], f[at + 3], {}};
            e.data.assign(f.begin() + static_cast<long>(at + 12), f.begin() + static_cast<long>(at + 12 + f[at + 2]));
            out.push_back(e);
            at += 12 + f[at + 2];
        }
        EXPECT_EQ(at, f.size());
        return out;
    }
    void Ack(int fd, u8 mask, u32 key = 0, int maxFrame = -1) {
        std::vector<u8> a{'Q', '4', 0, 6, 18, mask, 0, 0, 0, 0};
        PutBe32(&a[6], key);
        if (maxFrame >= 0) {
            a.resize(14);
            PutBe16(&a[2], 10);
            PutBe32(&a[10], static_cast<u32>(maxFrame));
        }
        ASSERT_EQ(send(fd, a.data(), a.size(), 0), static_cast<ssize_t>(a.size()));
    }
    bool Closed(int fd, int waitMs = 2000) {
        pollfd p{fd, POLLIN, 0};
        u8 b;
        return poll(&p, 1, waitMs) == 1 && recv(fd, &b, 1, MSG_DONTWAIT) <= 0;
    }
    static std::vector<int> Kinds(const std::vector<Event>& events) {
        std::vector<int> k;
        for (const Event& e : events) k.push_back(e.kind * 100 + e.code);
        return k;
    }

    int offset = 0;
    std::unique_ptr<TempRoot> root;
    ManualClock clock;
    Q4EvsSettings settings;
    std::vector<u8> block;
    Q4EvsServer* server = nullptr;
    std::vector<int> clients;
    u32 now = 1000;
};

TEST_F(EventServer, IdleFrameAtOnceThenEventsByMaskAndKey) {
    int fd = Connect();
    Step();
    u32 size = 0;
    std::vector<Event> idle = Frame(fd, &size);
    ASSERT_EQ(idle.size(), 1u);
    EXPECT_EQ(size, 21u);  // "Q4", L = 17
    EXPECT_EQ(Kinds(idle), std::vector<int>{800});
    EXPECT_EQ(idle[0].data, (std::vector<u8>{9, 1, 1}));
    EXPECT_EQ(idle[0].slot, 1);
    // Mask 0 until acknowledged: these events are not for this client.
    Q4Evs_OnAppStart(server, "early");
    Ack(fd, 0x0F);
    Step();  // nothing queued: no frame before the 2-s idle one
    Q4Evs_OnAppStart(server, "app");
    Q4Evs_Trace(server, std::string(300, 't').c_str());
    u8 var[5] = {0, 1, 3, 0, 7};
    Q4Evs_Event(server, 4, 2, sizeof var, var);
    Step();
    std::vector<Event> ev = Frame(fd);
    EXPECT_EQ(Kinds(ev), (std::vector<int>{105, 402, 801}));
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(std::string(ev[0].data.begin(), ev[0].data.end()), "app");
    EXPECT_EQ(ev[2].data.size(), 255u);
    // A key that matches no queue grants mask 0: nothing but idle frames.
    Ack(fd, 0x0F, 1);
    Step();
    Q4Evs_OnAppStop(server, "app");
    Step(2001);
    EXPECT_EQ(Kinds(Frame(fd)), std::vector<int>{800});
    EXPECT_EQ(Q4Evs_GetCnxPrefs(server, 0), 0);
}

TEST_F(EventServer, UnacknowledgedClientIsDroppedAfterThreeSeconds) {
    int fd = Connect();
    Step();
    Frame(fd);
    Step(3000);
    EXPECT_FALSE(Closed(fd, 0));
    Step(1);
    EXPECT_TRUE(Closed(fd));
    EXPECT_EQ(Q4Evs_GetNbClient(server), 0);
}

TEST_F(EventServer, LostEventsAreAnnouncedOnceAcknowledged) {
    int fd = Connect();
    Step();
    Frame(fd);
    Ack(fd, 0x03);
    Step();
    // Queue 1 holds nothing: each class-2 event is lost.
    EXPECT_EQ(Q4Evs_Event(server, 2, 1, 0, nullptr), 1);
    EXPECT_EQ(Q4Evs_Event(server, 2, 1, 0, nullptr), 1);
    Step();
    EXPECT_EQ(Kinds(Frame(fd)), std::vector<int>{102});
    Ack(fd, 0x03);
    Step(2001);
    EXPECT_EQ(Kinds(Frame(fd)), std::vector<int>{800});  // announced once, then forgotten
}

// The client's frame size bounds every frame; an event that can never fit
// is dropped and counted lost instead of blocking its queue.
TEST_F(EventServer, FrameSizeLimitsFramesAndDropsWhatNeverFits) {
    int fd = Connect();
    Step();
    Frame(fd);
    Ack(fd, 0x0F, 0, 100);
    Step();
    for (int k = 0; k < 5; ++k) Q4Evs_Trace(server, "twenty characters...");
    Q4Evs_Trace(server, std::string(90, 'x').c_str());  // never below 100 bytes
    Q4Evs_Trace(server, "after");
    std::vector<int> got;
    for (int k = 0; k < 8; ++k) {
        Step();
        u32 size = 0;
        std::vector<Event> ev = Frame(fd, &size);
        ASSERT_FALSE(ev.empty());
        EXPECT_LT(size, 100u);
        for (const Event& e : ev) got.push_back(e.kind * 100 + e.code);
        if (std::count(got.begin(), got.end(), 104)) break;
        Ack(fd, 0x0F, 0, 100);
    }
    EXPECT_EQ(std::count(got.begin(), got.end(), 801), 6);  // five short traces and "after"
    EXPECT_EQ(std::count(got.begin(), got.end(), 104), 1);  // the dropped one, announced
}

TEST_F(EventServer, NoAcknowledgementMaskSendsBackToBack) {
    int fd = Connect();
    Step();
    Frame(fd);
    Ack(fd, 0x28);
    Step();
    Q4Evs_Trace(server, "one");
    Step();
    EXPECT_EQ(Kinds(Frame(fd)), std::vector<int>{801});
    Q4Evs_Trace(server, "two");
    Step();
    std::vector<Event> ev = Frame(fd);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(std::string(ev[0].data.begin(), ev[0].data.end()), "two");
}

TEST_F(EventServer, OversizedAcknowledgementDropsTheClientAndANinthIsClosed) {
    int fd = Connect();
    Step();
    Frame(fd);
    const u8 bad[] = {'Q', '4', 0x10, 0x00};
    ASSERT_EQ(send(fd, bad, sizeof bad, 0), 4);
    Step();
    EXPECT_TRUE(Closed(fd));
    for (int k = 0; k < 8; ++k) {
        Connect();
        Step();
    }
    EXPECT_EQ(Q4Evs_GetNbClient(server), 8);
    int ninth = Connect();
    Step();
    EXPECT_TRUE(Closed(ninth));
    EXPECT_EQ(Q4Evs_GetNbClient(server), 8);
}

}  // namespace
