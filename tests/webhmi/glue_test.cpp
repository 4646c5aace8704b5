// The server thread's life on the controller side: a stop asked for while
// the thread is still starting is not lost.
#include <gtest/gtest.h>

#include "platform/root.h"
#include "testsupport/firmware_process.h"
#include "testsupport/temp_root.h"
#include "webhmi/dartu_glue.h"

TEST(WebHmiGlue, StopDuringStartUpHolds) {
    TempRoot root;
    Root_Init();
    Dartu_Reset();
    Dartu_InitMutexes();
    DartuThreadCreated = 1;
    DartuServerState = kDartuCreated;
    dartu_thread_create();
    // The start-up generates an RSA key first: the stop lands while it runs.
    DartuServerState = kDartuStop;
    EXPECT_TRUE(WaitUntil([] { return DartuThreadCreated.load() == 0; }, 30000));
    EXPECT_TRUE(WaitUntil([] { return DartuServerState.load() == kDartuStopped; }, 30000));
    EXPECT_EQ(DartuServerStatus.load(), 0);
    Dartu_Reset();
}
