// The real executable runs a program written with the builder: the program,
// the default configuration and a register image that resumes run mode are
// put into the test's root, the controller runs a few main-loop passes, the
// power-fail signal ends it, and the register image written at power-down
// shows from outside what the program did.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/plc_regs.h"
#include "platform/board.h"
#include "platform/fileio.h"
#include "platform/reset.h"
#include "testsupport/firmware_process.h"
#include "testsupport/fw_media.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/reg_image.h"
#include "testsupport/temp_root.h"

inline u32 WordOf(u32 bitAddress) { return (LadderRemap(bitAddress) - 0x400) >> 4; }

inline bool PutBytes(const std::string& firmwarePath, const std::vector<u8>& data) {
    return FwPut(firmwarePath, std::string(data.begin(), data.end()));
}

// Runs `program` in `root` starting from the register words given and
// returns the register memory of the power-down image (empty after a
// failure, which is reported). `log` receives the controller's output.
inline std::vector<u8> RunLadderUntilPowerDown(TempRoot& root, const LadderBuilder& program,
                                               const std::vector<std::pair<u32, u16>>& words, int passes,
                                               std::string* log) {
    std::vector<u8> regs;
    if (!program.Ok()) {
        ADD_FAILURE() << program.Error();
        return regs;
    }
    if (!PutBytes("/mnt/cfg/ladder.pgm", program.ProgramFile()) || !PutBytes("/mnt/cfg/config.pgm", LadderConfigFile()) ||
        !PutBytes("/mnt/cfg/autoreg.dta", RunModeRegisterImage(words))) {
        ADD_FAILURE() << "cannot write the root";
        return regs;
    }
    setenv("PLC_PORT_OFFSET", std::to_string(NetFreePortOffset(502)).c_str(), 1);
    FirmwareProcess fw;
    if (!fw.Start()) {
        ADD_FAILURE() << "cannot start the controller";
        return regs;
    }
    // Registered for the power-fail signal: start-up has entered run mode.
    const bool registered = WaitUntil(
        [&] {
            return std::filesystem::exists(root.Path(kBoardStatePath)) && (Board_IsOpen() || Board_Open()) &&
                   Board_ControllerPid() == fw.Pid();
        },
        20000);
    bool ran = false, ended = false;
    if (registered) {
        ran = WaitMainLoopPasses(passes, 20000);
        EXPECT_TRUE(Board_SignalPowerFail());
        ended = fw.WaitExit(20000);
    }
    Board_Close();
    *log = fw.Output();
    EXPECT_TRUE(registered) << *log;
    EXPECT_TRUE(ran) << "main-loop passes\n" << *log;
    EXPECT_TRUE(ended) << *log;
    EXPECT_EQ(fw.ExitCode(), kExitPowerOff) << *log;
    if (!ended) return regs;

    std::vector<u8> image;
    if (!File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), image, 8 + kPlcRegBytes) ||
        image.size() != 8 + kPlcRegBytes) {
        ADD_FAILURE() << "no power-down image\n" << *log;
        return regs;
    }
    regs.assign(image.begin() + 8, image.end());
    return regs;
}
