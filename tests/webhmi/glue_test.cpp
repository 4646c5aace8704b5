// The server thread's life on the controller side: a stop asked for while
// the thread is still starting is not lost; a replacement of the web root
// brings the server back at its end marker.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/root.h"
#include "testsupport/firmware_process.h"
#include "testsupport/fw_media.h"
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

// The web root is replaced while the server is between two threads (a
// restart for a new address): the stop finds no thread to answer it, and a
// start asked for meanwhile must wait. The end marker still brings the
// server back, and only then.
TEST(WebHmiGlue, FtpReplacementDuringARestartStartsAgainAtTheEndMarker) {
    TempRoot root;
    Root_Init();
    Dartu_Reset();
    ASSERT_TRUE(FwPut("/mnt/USB0/darTU/wwwroot/index.htm", "home"));
    for (int i = 0; i < 2; ++i) dartu_check_ftp_state();  // the watch is set
    // After the stop: nothing answers it, or a new address asked for a start.
    for (u8 after : {kDartuStop, kDartuStart}) {
        SCOPED_TRACE(after);
        DartuServerState = kDartuStopped;
        ASSERT_EQ(std::system(("rm -rf '" + root.Path("/mnt/USB0/darTU/wwwroot") + "'").c_str()), 0);
        dartu_check_ftp_state();
        EXPECT_EQ(DartuFtping.load(), 1);
        EXPECT_EQ(DartuServerState.load(), kDartuStop);
        DartuServerState = after;
        ASSERT_TRUE(FwPut("/mnt/USB0/darTU/wwwroot/index.htm", "new pages"));
        dartu_check_ftp_state();
        EXPECT_EQ(DartuFtping.load(), 1);
        ASSERT_TRUE(FwPut("/mnt/USB0/EndOfFTP.txt", ""));
        dartu_check_ftp_state();
        EXPECT_EQ(DartuServerState.load(), kDartuStart);
        EXPECT_EQ(DartuFtping.load(), 0);
        EXPECT_FALSE(FwExists("/mnt/USB0/EndOfFTP.txt"));
        for (int i = 0; i < 2; ++i) dartu_check_ftp_state();  // watched again
    }
    Dartu_Reset();
}
