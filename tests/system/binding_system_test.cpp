// System test of variable binding between two runtimes on the real
// executable: a producer controller publishes a counter with hysteresis, a
// consumer controller binds it (alone and as a redundant pair) and publishes
// what it received, with its connection status, which the test reads from
// the consumer's own event server. Both run on clocks the test drives; the
// producer is killed and the consumer's status follows.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "iec/ext/q4ea.h"
#include "iec/kernel/q4types.h"
#include "platform/fileio.h"
#include "testsupport/board_clock.h"
#include "testsupport/event_client.h"
#include "testsupport/firmware_process.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/loopback.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/reg_image.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;
enum : u16 { kIdStatus = 1, kIdValue = 2, kIdPairStatus = 3, kIdPairValue = 4 };

std::vector<u8> ProducerApp() {
    IecImageBuilder b;
    const u16 cnt = b.Var(kQ4TypeDint, 0, "cnt"), one = b.Var(kQ4TypeDint, 1);
    b.StaticEvent(kQ4TypeDint, cnt, 7, {5, 0, 0, 0}, {5, 0, 0, 0});
    TicAssembler t;
    t.Op("ADD_DINT", {cnt, cnt, one}).Op("END");
    b.Program(t.Finish());
    return b.Build();
}

std::vector<u8> ConsumerApp(u16 port) {
    IecImageBuilder b;
    const u16 st = b.Var(kQ4TypeInt, 99, "st"), v = b.Var(kQ4TypeDint, 0, "v");
    const u16 pst = b.Var(kQ4TypeInt, 99, "pst"), pv = b.Var(kQ4TypeDint, 0, "pv");
    b.BindConnection("127.0.0.1", port, 0, {{kQ4TypeInt, kEaxCnxStatus, st}, {kQ4TypeDint, kEaxValue, v, 7}});
    b.BindConnection("127.0.0.1", port, 0x10, {{kQ4TypeInt, kEaxCnxStatus, pst}, {kQ4TypeDint, kEaxValue, pv, 7}});
    b.BindConnection("127.0.0.1", port, 0x20, {{kQ4TypeInt, kEaxCnxStatus, pst}, {kQ4TypeDint, kEaxValue, pv, 7}});
    b.StaticEvent(kQ4TypeInt, st, kIdStatus).StaticEvent(kQ4TypeDint, v, kIdValue);
    b.StaticEvent(kQ4TypeInt, pst, kIdPairStatus).StaticEvent(kQ4TypeDint, pv, kIdPairValue);
    b.Program({234});  // END
    return b.Build();
}

class BindingSystem : public ::testing::Test {
protected:
    void SetUp() override {
        producerDir = root.Dir() + "-producer";
        ASSERT_EQ(system(("mkdir -p " + producerDir).c_str()), 0);
        consumerOffset = NetFreePortOffset(9000);
        do producerOffset = NetFreePortOffset(9000);
        while (producerOffset == consumerOffset);
        Prepare(producer, producerDir, producerOffset, ProducerApp());
        Prepare(consumer, root.Dir(), consumerOffset,
                ConsumerApp(static_cast<u16>(9000 + producerOffset - consumerOffset)));
        producerClock.emplace(producerDir);
        consumerClock.emplace(root.Dir());
        ASSERT_TRUE(producer.Start());
        ASSERT_TRUE(consumer.Start());
        auto running = [](FirmwareProcess& p) { return p.Output().find("main loop running") != std::string::npos; };
        ASSERT_TRUE(AdvanceUntil([&] { return running(producer) && running(consumer); }, 20000))
            << producer.Output() << consumer.Output();
    }
    void TearDown() override {
        for (FirmwareProcess* p : {&producer, &consumer})
            if (p->Running() && !p->HasExited()) p->Signal(SIGTERM);
        AdvanceUntil([&] { return !Alive(producer) && !Alive(consumer); }, 20000);
        for (FirmwareProcess* p : {&producer, &consumer})
            if (p->Running()) p->WaitExit(kStartMs);
        Shell("rm -rf " + producerDir);
    }
    static bool Alive(FirmwareProcess& p) { return p.Running() && !p.HasExited(); }
    // Default blocks from a first start, then the application stored.
    void Prepare(FirmwareProcess& p, const std::string& dir, int offset, const std::vector<u8>& app) {
        auto env = [&](FirmwareProcess& f) {
            f.SetEnv("PLC_ROOT", dir);
            f.SetEnv("PLC_PORT_OFFSET", std::to_string(offset));
        };
        FirmwareProcess first;
        env(first);
        ASSERT_TRUE(first.Start());
        ASSERT_TRUE(first.WaitForOutput("main loop running", kStartMs)) << first.Output();
        first.Signal(SIGTERM);
        ASSERT_TRUE(first.WaitExit(kStartMs));
        ASSERT_TRUE(IecStoreApp(dir + "/mnt/cfg/ladder.pgm", app, RegLocTable()));
        // The application runs in run mode only.
        const std::vector<u8> image = RunModeRegisterImage({});
        ASSERT_TRUE(File_WriteAtomic(dir + "/mnt/cfg/autoreg.dta", image.data(), image.size()));
        env(p);
    }
    // Both clocks (the producer's while it lives), and what the consumer
    // published meanwhile.
    bool Advance(u64 ms) {
        for (u64 done = 0; done < ms; done += 10) {
            if (Alive(producer) && !producerClock->Advance(10, 10)) return false;
            if (!consumerClock->Advance(10, 10)) return false;
            if (events.has_value()) {
                std::vector<EventRecord> got;
                // The consumer's runtime opens its event server with its
                // first pass, and again when it starts an application: a
                // client not connected (or closed) connects (again).
                if (!events->Poll(&got)) events->Connect(9000 + consumerOffset);
                for (const EventRecord& e : got) {
                    VariableEvent v;
                    if (!EventVariable(e, &v)) continue;
                    published[v.id] = v.value;
                    if (v.id == kIdValue) history.push_back(v.value);
                }
            }
        }
        return true;
    }
    bool AdvanceUntil(const std::function<bool()>& condition, u64 maxMs) {
        for (u64 done = 0; !condition(); done += 10)
            if (done >= maxMs || !Advance(10)) return false;
        return true;
    }
    bool Published(u16 id, i64 value, u64 maxMs = 10000) {
        return AdvanceUntil([&] { return published.count(id) && published[id] == value; }, maxMs);
    }

    TempRoot root;
    std::string producerDir;
    int producerOffset = 0, consumerOffset = 0;
    std::optional<BoardClock> producerClock, consumerClock;
    FirmwareProcess producer, consumer;
    std::optional<EventClient> events;
    std::map<u16, i64> published;
    std::vector<i64> history;
};

TEST_F(BindingSystem, ConsumerFollowsTheProducerAndReportsItsLoss) {
    events.emplace(0x05);
    ASSERT_TRUE(Published(kIdStatus, kEaxFlowing)) << consumer.Output();
    ASSERT_TRUE(Published(kIdPairStatus, 0x00)) << consumer.Output();
    ASSERT_TRUE(AdvanceUntil([&] { return history.size() >= 5 && published.count(kIdPairValue); }, 20000))
        << history.size();
    for (size_t k = 1; k < history.size(); ++k) {
        if (history[k] != history[k - 1]) EXPECT_GE(history[k] - history[k - 1], 5) << k;
    }

    // The producer dies: disconnected at once, values kept.
    const i64 last = published[kIdValue];
    producer.Signal(SIGKILL);
    ASSERT_TRUE(producer.WaitExit(kStartMs));
    ASSERT_TRUE(Published(kIdStatus, kEaxStDown));
    ASSERT_TRUE(Published(kIdPairStatus, 0x22));
    EXPECT_EQ(published[kIdValue], last);

    // Someone takes the port but accepts nothing: the reconnection after 3 s
    // stays under way.
    std::vector<int> fill;
    const int lst = ListenLoopback(9000 + producerOffset, true, &fill);
    ASSERT_GE(lst, 0);
    EXPECT_TRUE(Published(kIdStatus, kEaxStConnecting));
    EXPECT_TRUE(Published(kIdPairStatus, 0x11));
    for (int fd : fill) close(fd);
    close(lst);
}

}  // namespace
