#include "testsupport/reg_image.h"

#include <algorithm>

#include "core/plc_regs.h"

std::vector<u8> RunModeRegisterImage(const std::vector<std::pair<u32, u16>>& words) {
    std::vector<u8> regs(kPlcRegBytes, 0);
    auto sr = [&regs](int n, u16 v) { PutLe16(&regs[2 * (127 + n)], v); };
    sr(5, 2);
    sr(25, crc16(nullptr, 0));
    sr(28, crc16(nullptr, 0));
    sr(29, 1);
    sr(61, 1);
    for (auto [word, value] : words) PutLe16(&regs[2 * word], value);
    std::vector<u8> image(8 + kPlcRegBytes);
    PutLe16(&image[0], crc16(regs.data(), kPlcRegBytes));
    PutLe32(&image[4], kPlcRegBytes);
    std::copy(regs.begin(), regs.end(), image.begin() + 8);
    return image;
}
