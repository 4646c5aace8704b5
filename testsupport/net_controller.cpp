#include "testsupport/net_controller.h"

#include <csignal>

#include "core/plc_regs.h"
#include "platform/fileio.h"
#include "testsupport/firmware_process.h"
#include "testsupport/net_config_builder.h"

bool NetPrepareController(const std::string& rootDir, const std::vector<u8>& ioConfig, u16 mode,
                          const std::function<void(FirmwareProcess&)>& setup, std::string* why) {
    constexpr int kStartMs = 30000;
    {
        FirmwareProcess first;
        if (setup) setup(first);
        if (!first.Start() || !first.WaitForOutput("main loop running", kStartMs)) {
            *why = "first start: " + first.Output();
            return false;
        }
        first.Signal(SIGTERM);
        if (!first.WaitExit(kStartMs)) {
            *why = "first start did not end";
            return false;
        }
    }
    if (!NetWriteConfigPgm(rootDir + "/mnt/cfg/config.pgm", ioConfig)) {
        *why = "config.pgm not written";
        return false;
    }
    std::vector<u8> image;
    const std::string reg = rootDir + "/mnt/cfg/autoreg.dta";
    if (!File_ReadAll(reg, image, 1u << 20) || image.size() < 8 + 2 * (127 + 6)) {
        *why = "no register image";
        return false;
    }
    PutLe16(&image[8 + 2 * (127 + 5)], mode);
    PutLe16(&image[0], crc16(&image[8], static_cast<u32>(image.size() - 8)));
    if (!File_WriteAtomic(reg, image.data(), image.size())) {
        *why = "register image not written";
        return false;
    }
    return true;
}
