#include "testsupport/io_config_builder.h"

#include <cstring>

#include "core/nvram.h"
#include "core/plc_regs.h"

void PutIoConfig(const std::vector<std::pair<u16, std::vector<u8>>>& records) {
    u32 pos = 0;
    for (const auto& [id, data] : records) {
        PutLe16(io_config + pos, id);
        PutLe16(io_config + pos + 2, static_cast<u16>(data.size()));
        if (!data.empty()) std::memcpy(io_config + pos + 4, data.data(), data.size());
        pos += 4 + static_cast<u32>((data.size() + 3) / 4 * 4);
    }
    io_config_bl.SetHeader(crc16(io_config, pos), pos);
}
