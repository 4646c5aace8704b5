// The real firmware with the internal cellular module: the slot code set with
// the board tool, a messaging block stored beside the program, and the fake
// modem on the module's port. On the test's clock the controller initialises
// the module with the tables' command sequence, identifies it and reads its
// signal.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "platform/reset.h"
#include "remote/cellport.h"
#include "testsupport/board_clock.h"
#include "testsupport/fake_modem.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/firmware_process.h"
#include "testsupport/msgcfg_builder.h"
#include "testsupport/temp_root.h"
#include "testsupport/reg_image.h"
#include "platform/fileio.h"

namespace {

constexpr int kStartMs = 30000;

class ModemSystem : public ::testing::Test {
protected:
    int Tool(const std::string& args) {
        std::string cmd = std::string(PLC_BIN_DIR) + "/plcio --root '" + root.Dir() + "' " + args + " > /dev/null";
        int rc = std::system(cmd.c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    // The program announces the messaging block that config.pgm carries.
    void Prepare() {
        std::filesystem::create_directories(root.Path("/mnt/cfg"));
        LadderBuilder program;
        program.End();
        std::vector<u8> pgm = program.ProgramFile(kFeatSms);
        ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/ladder.pgm"), pgm.data(), pgm.size()));
        MsgCfgBuilder b;
        b.contacts = {{"+15550001", 0, 1}};
        b.pin = "1234";
        b.centre.clear();
        std::vector<u8> cfg = LadderConfigFile(b.Build());
        ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/config.pgm"), cfg.data(), cfg.size()));
        // A register image, so the start keeps the stored blocks.
        std::vector<u8> image = RunModeRegisterImage({});
        ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/autoreg.dta"), image.data(), image.size()));
    }
    std::string Seen() {
        std::string all;
        for (const std::string& c : modem.Commands()) all += c + "|";
        return all;
    }
    bool Saw(const std::string& command) {
        auto c = modem.Commands();
        return std::find(c.begin(), c.end(), command) != c.end();
    }

    TempRoot root;
    FakeModem modem;
};

TEST_F(ModemSystem, InternalModuleInitialisesIdentifiesAndReportsSignal) {
    ASSERT_NO_FATAL_FAILURE(Prepare());
    ASSERT_EQ(Tool("plug 1 0x6F0F"), 0);
    ASSERT_TRUE(modem.Open(root.Path(kCellPortPath)));
    modem.Answer("AT+CPIN?", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
    modem.Start();
    BoardClock clock;
    FirmwareProcess fw;
    ASSERT_TRUE(fw.Start());
    ASSERT_TRUE(clock.AdvanceToOutput(fw, "main loop running", 60000)) << fw.Output();
    ASSERT_TRUE(clock.AdvanceUntil([&] { return Saw("AT+GMM"); }, 120000, 20)) << fw.Output() << Seen();
    const std::vector<std::string> expected = {
        "AT",          "AT#ENHRST=1,0", "+++",       "ATE0Q0V1X1Q0&K0", "AT+IPR=115200", "AT+IFC=0,0",
        "AT+FCLASS=0", "AT+CFUN=1",     "AT+CMEE=2", "AT+CPIN?",        "AT+CPIN=1234",  "AT+CREG?",
        "AT#AUTOATT=0", "AT#SGACT=1,0", "AT+CMGF=1", "AT+CSMP=17,167,0,0", "AT+CGSN",    "AT+CNUM",
        "AT+COPS?",    "AT+GMR",        "AT+GMM"};
    auto seen = modem.Commands();
    // The module is probed until it answers; the script follows once.
    seen.erase(seen.begin(), std::find(seen.begin(), seen.end(), "AT#ENHRST=1,0") - 1);
    EXPECT_EQ(seen, expected);
    // The signal poll follows ten seconds later.
    ASSERT_TRUE(clock.AdvanceUntil([&] { return Saw("AT#MONI"); }, 30000, 20)) << fw.Output();
    modem.Stop();
    fw.Signal(SIGTERM);
    ASSERT_TRUE(clock.AdvanceToExit(fw, 60000));
    EXPECT_EQ(fw.ExitCode(), kExitNormal) << fw.Output();
}

}  // namespace
