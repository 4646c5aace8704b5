// The MQTT payload plug-ins: installing each connection's image from the
// MQTT table as a file under the root's /dev/shm, loading it by that path,
// resolving its four entry points and filling its link record; and the
// IEC-aware register access handed to it.
//
// Nothing is linked into the host's library folders: a plug-in is opened by
// its path below the root.
#pragma once

#include "platform/bytes.h"
#include "remote/mqtt_plugin.h"

constexpr int kMqttPluginSlots = 8;

struct MqttPlugin {
    char library[32];        // "%d_libdpc.so"
    void* handle;            // from dlopen, nullptr when closed
    MqttPluginInit init;
    MqttPluginScan scanFirst;
    MqttPluginScan scan;
    MqttPluginDeInit deInit;
    u8 loaded;
    dlLinkDpcConfigs link;   // +0 and +4 are filled when the table is read
};

// Writes image (length bytes; nullptr: no image) as /dev/shm/<index>_libdpc.so
// under the root and keeps the library name in the plug-in. 1 when the file
// was written whole; without an image a stale file is removed and 0 answered.
int dlInstall(MqttPlugin& plugin, int index, const u8* image, u32 length);
// Closes the plug-in's library (the plug-in stays installed).
void dlClose(MqttPlugin& plugin);
// Removes every installed image file (indexes 0-7).
void dlRemoveAll();
// Opens the installed library of the plug-in, resolves "dlInit",
// "dlScanFirst", "dlScan" and "dlDeInit" and fills the link record; 1 when
// loaded. A failure closes what was opened and prints the loader's text.
int dlLoad(MqttPlugin& plugin);

// Class, bit number and element index of an IEC variable reference advanced
// by a bit offset: the index moves by whole elements (carry out of its 20
// bits lost), and for a 1-bit access the bit number becomes the offset within
// the element. A class above 3 stays unchanged.
u32 updateQuilletRegInfo(u32 reference, u32 bitOffset, u32 bits);
// Register access at reference plus bitOffset: an IEC variable reference of
// a running application with enumerated variables is advanced as above,
// anything else is a plain register bit address. Both answer 1. A set
// writes 1, 8, 16 or 32 bits of *value (a 1-bit write stores 1 for any
// non-zero value; other bit counts write nothing).
int brvqPlcRegGet(u32 reference, u32 bitOffset, void* destination, u32 bits);
int brvqPlcRegSet(u32 reference, u32 bitOffset, const u32* value, u32 bits);
