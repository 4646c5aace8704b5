// OS layer: polled threads, queues, event flags and the millisecond timers
// on the hand-advanced clock.
#include <gtest/gtest.h>

#include <vector>

#include "platform/fpga.h"
#include "platform/tx_api.h"
#include "testsupport/manual_clock.h"

namespace {

void NoEntry(u32) {}

TEST(OsThreads, CreateChecksInOrderAndRecordsTheBlock) {
    u8 stack[256];
    TxThread t;
    struct Case {
        TxThread* block;
        TxEntry entry;
        void* stack;
        u32 priority, threshold, autoStart, want;
    } cases[] = {
        {nullptr, nullptr, nullptr, 16, 20, 2, kTxThreadError},  // null block checked first
        {&t, nullptr, stack, 16, 20, 2, kTxPtrError},
        {&t, NoEntry, nullptr, 16, 16, 0, kTxPtrError},
        {&t, NoEntry, stack, 16, 20, 2, kTxThreshError},
        {&t, NoEntry, stack, 16, 16, 2, kTxStartError},
        {&t, NoEntry, stack, 16, 16, 1, kTxSuccess},
    };
    for (const Case& c : cases)
        EXPECT_EQ(_txe_thread_create(c.block, "t", c.entry, 7, c.stack, sizeof stack, c.priority, c.threshold, 4,
                                     c.autoStart),
                  c.want);
    EXPECT_EQ(t.entry, NoEntry);
    EXPECT_EQ(t.entryArgument, 7u);
    EXPECT_EQ(t.stackEnd, static_cast<void*>(stack + sizeof stack - 1));
    EXPECT_EQ(t.priority, 16u);
    EXPECT_EQ(t.userPriority, 16u);
    EXPECT_EQ(t.timeSlice, 4u);
}

TEST(OsQueues, OneMessageQueueFillsAndEmpties) {
    u32 storage[4];
    TxQueue q;
    ASSERT_EQ(_txe_queue_create(&q, "CFI_REQUEST", 4, storage, sizeof storage), kTxSuccess);
    EXPECT_EQ(q.capacity, 1u);
    const u32 msg[4] = {1, 2, 3, 4}, other[4] = {9, 9, 9, 9};
    EXPECT_EQ(_txe_queue_send(&q, msg, 0), kTxSuccess);
    EXPECT_EQ(_txe_queue_send(&q, other, 0), kTxQueueFull);
    u32 out[4] = {};
    EXPECT_EQ(_txe_queue_receive(&q, out, 0), kTxSuccess);
    EXPECT_EQ(std::vector<u32>(out, out + 4), std::vector<u32>(msg, msg + 4));  // the full one was not stored
    EXPECT_EQ(_txe_queue_receive(&q, out, 0), kTxQueueEmpty);
    EXPECT_EQ(q.enqueued + q.available, q.capacity);
}

TEST(OsQueues, RingWrapsInOrder) {
    u32 storage[7];  // 28 bytes: three 2-word messages, one word spare
    TxQueue q;
    ASSERT_EQ(_txe_queue_create(&q, "ring", 2, storage, sizeof storage), kTxSuccess);
    ASSERT_EQ(q.capacity, 3u);
    u32 next = 0, expect = 0;
    for (int round = 0; round < 10; ++round) {
        for (int k = 0; k < 2; ++k) {
            u32 m[2] = {next, ~next};
            ASSERT_EQ(_txe_queue_send(&q, m, 0), kTxSuccess);
            ++next;
        }
        for (int k = 0; k < 2; ++k) {
            u32 m[2];
            ASSERT_EQ(_txe_queue_receive(&q, m, 0), kTxSuccess);
            EXPECT_EQ(m[0], expect);
            EXPECT_EQ(m[1], ~expect);
            ++expect;
        }
    }
    EXPECT_LE(q.write, q.end);
}

TEST(OsQueues, CreateRefusesSizesThatHoldNoMessage) {
    u32 storage[4];
    TxQueue q;
    EXPECT_EQ(_txe_queue_create(&q, "zero", 0, storage, sizeof storage), kTxSizeError);
    EXPECT_EQ(_txe_queue_create(&q, "big", 5, storage, sizeof storage), kTxSizeError);
    EXPECT_EQ(_txe_queue_create(&q, "null", 1, nullptr, 16), kTxPtrError);
}

TEST(OsEventFlags, OptionsAnyAllAndClear) {
    struct Case {
        u32 option, want, actual, left;
    } cases[] = {
        {kTxOrOption, kTxSuccess, 0x5, 0x5},
        {kTxAndOption, kTxNoEvents, 0xDEAD, 0x5},  // nothing written
        {kTxOrClear, kTxSuccess, 0x5, 0x1},
        {kTxAndClear, kTxNoEvents, 0xDEAD, 0x5},
    };
    for (const Case& c : cases) {
        TxEventFlags g;
        ASSERT_EQ(_txe_event_flags_create(&g, "ev"), kTxSuccess);
        _txe_event_flags_set(&g, 0x5, 0);
        u32 actual = 0xDEAD;
        EXPECT_EQ(_txe_event_flags_get(&g, 0x6, c.option, &actual, 0), c.want) << c.option;
        EXPECT_EQ(actual, c.actual) << c.option;
        EXPECT_EQ(g.current, c.left) << c.option;
    }
    TxEventFlags g;
    _txe_event_flags_create(&g, "all");
    _txe_event_flags_set(&g, 0x6, 0);
    u32 actual = 0;
    EXPECT_EQ(_txe_event_flags_get(&g, 0x6, kTxAndClear, &actual, 0), kTxSuccess);
    EXPECT_EQ(actual, 0x6u);
    EXPECT_EQ(g.current, 0u);
}

class OsTimers : public ::testing::Test {
protected:
    void SetUp() override {
        Tx_Reset();
        FPGA_Reset();
        FPGA_GetFrt();
        fired.clear();
    }
    void TearDown() override { Tx_Reset(); }
    static void Expire(u32 arg) { fired.push_back({arg, FPGA_GetFrt() / 10}); }
    struct Fire {
        u32 arg;
        u32 ms;
    };
    static std::vector<Fire> fired;
    ManualClock clock;
};
std::vector<OsTimers::Fire> OsTimers::fired;

TEST_F(OsTimers, PeriodicTimerCheckedEvery3msKeepsItsPhase) {
    TxTimer t;
    ASSERT_EQ(_txe_timer_create(&t, "p", Expire, 1, 100, 100, 1), kTxSuccess);
    const u32 start = FPGA_GetFrt() / 10;
    for (int i = 0; i < 1000; ++i) {  // 3 s
        clock.AdvanceMs(3);
        tx_timer_check();
    }
    ASSERT_EQ(fired.size(), 30u);
    for (size_t k = 0; k < fired.size(); ++k) {
        const u32 due = start + 100 * static_cast<u32>(k + 1);
        EXPECT_GE(fired[k].ms, due) << k;
        EXPECT_LT(fired[k].ms, due + 3) << k;  // noticed at the first check after it was due
    }
}

TEST_F(OsTimers, SubMillisecondPartsAreCarried) {
    TxTimer t;
    ASSERT_EQ(_txe_timer_create(&t, "s", Expire, 2, 10, 0, 1), kTxSuccess);
    for (int i = 0; i < 19; ++i) {  // 19 x 0.5 ms = 9.5 ms
        clock.AdvanceUs(500);
        tx_timer_check();
    }
    EXPECT_TRUE(fired.empty());
    clock.AdvanceUs(500);
    tx_timer_check();
    ASSERT_EQ(fired.size(), 1u);
    // An expired one-shot stays marked active with no ticks: skipped, and
    // activation refuses it.
    clock.AdvanceMs(50);
    tx_timer_check();
    EXPECT_EQ(fired.size(), 1u);
    EXPECT_EQ(_txe_timer_activate(&t), kTxActivateError);
}

TEST_F(OsTimers, SlotTableHoldsTen) {
    TxTimer timers[11];
    for (int i = 0; i < 10; ++i) ASSERT_EQ(_txe_timer_create(&timers[i], "t", Expire, i, 5, 0, 0), kTxSuccess);
    EXPECT_EQ(_txe_timer_create(&timers[10], "t", Expire, 10, 5, 0, 0), kTxNoTimerSlot);
    EXPECT_EQ(_txe_timer_delete(&timers[3]), kTxSuccess);
    EXPECT_EQ(timers[3].slot, -1);
    ASSERT_EQ(_txe_timer_create(&timers[10], "t", Expire, 10, 5, 0, 0), kTxSuccess);
    EXPECT_EQ(timers[10].slot, 3);
    EXPECT_EQ(TimerPtr[3], &timers[10]);
}

TEST_F(OsTimers, ActivateDeactivateAndZeroTicks) {
    TxTimer t, zero;
    ASSERT_EQ(_txe_timer_create(&t, "a", Expire, 1, 20, 0, 0), kTxSuccess);
    EXPECT_EQ(_txe_timer_create(&zero, "z", Expire, 2, 0, 0, 1), kTxActivateError);
    clock.AdvanceMs(50);
    tx_timer_check();
    EXPECT_TRUE(fired.empty());  // created inactive
    ASSERT_EQ(_txe_timer_activate(&t), kTxSuccess);
    EXPECT_EQ(_txe_timer_activate(&t), kTxActivateError);
    clock.AdvanceMs(10);
    tx_timer_check();
    _txe_timer_deactivate(&t);
    clock.AdvanceMs(50);
    tx_timer_check();
    EXPECT_TRUE(fired.empty());
    ASSERT_EQ(_txe_timer_activate(&t), kTxSuccess);  // 10 ms were left
    clock.AdvanceMs(10);
    tx_timer_check();
    EXPECT_EQ(fired.size(), 1u);
}

TxTimer* g_selfDeleting;
void DeleteSelf(u32) { _txe_timer_delete(g_selfDeleting); }

TEST_F(OsTimers, ExpiryMayDeleteItsOwnTimer) {
    TxTimer t;
    g_selfDeleting = &t;
    ASSERT_EQ(_txe_timer_create(&t, "d", DeleteSelf, 0, 5, 5, 1), kTxSuccess);
    clock.AdvanceMs(5);
    tx_timer_check();
    EXPECT_EQ(t.slot, -1);
    EXPECT_EQ(TimerPtr[0], nullptr);
    EXPECT_EQ(t.remainingTicks, 0u);  // not rescheduled after its deletion
}

}  // namespace
