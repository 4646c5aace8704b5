#include "remote/dynamicLibs.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "platform/fileio.h"
#include "platform/root.h"
#include "remote/mqtt.h"

namespace {

constexpr const char* kShmFolder = "/dev/shm/";
constexpr const char* kLibraryName = "libdpc.so";

std::string ImagePath(int index) {
    char path[64];
    std::snprintf(path, sizeof path, "%s%d_%s", kShmFolder, index, kLibraryName);
    return Root_HostPath(path);
}

bool IecLive(u32 reference) {
    return (reference & 0xC0000000u) == 0xC0000000u && QuilletRuntime != 0 && quillet_variables_enumerateded != 0;
}

int LinkRegGet(void* destination, uint32_t address, uint32_t bits) { return PlcReg_Get(destination, address, bits); }
int LinkRegSet(uint32_t address, const void* source, uint32_t bits) { return PlcReg_Set(address, source, bits); }
int LinkTimeout(uint32_t* stamp, uint32_t seconds) { return checkTimeout(stamp, seconds); }

}  // namespace

int dlInstall(MqttPlugin& plugin, int index, const u8* image, u32 length) {
    std::snprintf(plugin.library, sizeof plugin.library, "%d_%s", index, kLibraryName);
    const std::string path = ImagePath(index);
    if (image == nullptr) {
        ::unlink(path.c_str());
        File_SyncDirOf(path);
        return 0;
    }
    return File_WriteAtomic(path, image, length) ? 1 : 0;
}

void dlClose(MqttPlugin& plugin) {
    if (plugin.handle != nullptr) ::dlclose(plugin.handle);
    plugin.handle = nullptr;
    plugin.init = nullptr;
    plugin.scanFirst = plugin.scan = nullptr;
    plugin.deInit = nullptr;
    plugin.loaded = 0;
}

void dlRemoveAll() {
    for (int n = 0; n < kMqttPluginSlots; ++n) {
        const std::string path = ImagePath(n);
        ::unlink(path.c_str());
        File_SyncDirOf(path);
    }
}

int dlLoad(MqttPlugin& plugin) {
    dlClose(plugin);
    if (plugin.library[0] == 0) return 0;
    const std::string path = Root_HostPath(std::string(kShmFolder) + plugin.library);
    plugin.handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (plugin.handle == nullptr) {
        const char* e = ::dlerror();
        std::printf("dlInitialize(): Cannot load %s : %s\n", plugin.library, e ? e : "");
        return 0;
    }
    struct {
        const char* name;
        void** slot;
    } const entries[] = {{"dlInit", reinterpret_cast<void**>(&plugin.init)},
                         {"dlScanFirst", reinterpret_cast<void**>(&plugin.scanFirst)},
                         {"dlScan", reinterpret_cast<void**>(&plugin.scan)},
                         {"dlDeInit", reinterpret_cast<void**>(&plugin.deInit)}};
    for (const auto& e : entries) {
        ::dlerror();
        void* f = ::dlsym(plugin.handle, e.name);
        const char* error = ::dlerror();
        if (error != nullptr || f == nullptr) {
            std::printf("dlInitialize(): Cannot find '%s' in %s : %s\n", e.name, plugin.library, error ? error : "");
            dlClose(plugin);
            return 0;
        }
        *e.slot = f;
    }
    plugin.link.plcRegGet = LinkRegGet;
    plugin.link.plcRegSet = LinkRegSet;
    plugin.link.checkTimeout = LinkTimeout;
    plugin.link.one = 1;
    plugin.link.iecLoaded = &QuilletRuntime;
    plugin.link.iecEnumerated = &quillet_variables_enumerateded;
    plugin.link.regSet = brvqPlcRegSet;
    plugin.link.regGet = brvqPlcRegGet;
    plugin.loaded = 1;
    return 1;
}

u32 updateQuilletRegInfo(u32 reference, u32 bitOffset, u32 bits) {
    const u32 cls = (reference >> 26) & 7u;
    if (cls > 3) return reference;
    const u32 shift = 3 + cls;  // element widths 8, 16, 32, 64 bits
    const u32 step = (bitOffset >> shift) & 0xFFFFu;
    const u32 index = ((reference & 0xFFFFFu) + step) & 0xFFFFFu;
    u32 out = (reference & ~0xFFFFFu) | index;
    if (bits == 1) out = (out & ~(63u << 20)) | ((bitOffset & ((1u << shift) - 1)) << 20);
    return out;
}

int brvqPlcRegGet(u32 reference, u32 bitOffset, void* destination, u32 bits) {
    if (IecLive(reference))
        PlcReg_Get(destination, updateQuilletRegInfo(reference, bitOffset, bits), bits);
    else
        PlcReg_Get(destination, reference + bitOffset, bits);
    return 1;
}

int brvqPlcRegSet(u32 reference, u32 bitOffset, const u32* value, u32 bits) {
    if (value == nullptr) return 1;
    const u32 address = IecLive(reference) ? updateQuilletRegInfo(reference, bitOffset, bits) : reference + bitOffset;
    switch (bits) {
        case 1: {
            const u8 b = *value != 0 ? 1 : 0;
            PlcReg_Set(address, &b, 1);
            break;
        }
        case 8: {
            const u8 b = static_cast<u8>(*value);
            PlcReg_Set(address, &b, 8);
            break;
        }
        case 16: {
            u8 w[2];
            PutLe16(w, static_cast<u16>(*value));
            PlcReg_Set(address, w, 16);
            break;
        }
        case 32: {
            u8 d[4];
            PutLe32(d, *value);
            PlcReg_Set(address, d, 32);
            break;
        }
        default: break;
    }
    return 1;
}
