// Board identity: the MAC addresses of the identity image, assigned from the
// range file MACIDS.TXT of an installation medium or downloaded by the
// programming software, and the sign-on and model texts.
#pragma once

#include "platform/bytes.h"

// The maker's address prefix: only addresses that start with it are
// assigned, stored and taken from a download. A locally administered,
// unicast prefix (bit 1 of the first byte set, bit 0 clear), so that the
// addresses of a simulated board never clash with assigned hardware ones.
inline constexpr u8 kMakerMacPrefix[3] = {0x02, 0x50, 0x4C};

// 0: the board has a second Ethernet port (eth1).
extern u8 BoardID;

// The range file: the next address at offset 0, the last one at offset 19,
// each as "xx:xx:xx:xx:xx:xx".
constexpr u32 kMacIdsNextOffset = 0, kMacIdsLastOffset = 19, kMacIdsReadBytes = 128;
// Where the installation finds it.
constexpr const char* kMacIdsPath = "/mnt/USB/MACIDS.TXT";

// Results of SaveMACID.
constexpr int kMacDone = 0, kMacExhausted = 2, kMacWriteFailed = 3, kMacInvalid = 4, kMacNoFile = 5;

// Assigns the next address of the range file to port `index` (0 or 1) of the
// 124-byte identity image and stores the image in /mnt/cfg/TINYIMGE.BIN.
// An image that already holds a maker address for the port keeps it (2) and
// is stored again. A range whose next address lies above the last one, or
// whose next address could not be followed by another (xx:FF:FF:FF), is
// exhausted (2). The range file is replaced whole (new file, renamed), so a
// power loss leaves the old range or the new one.
int SaveMACID(u8* image, int index);
// After a download of the identity image: stores it and applies its
// addresses (0), or refuses it when its eth0 address is not the maker's or
// it cannot be written (1); a refused image is replaced in memory by the
// stored one.
int SaveAndSetMACID();

// 1 when text holds 6 hex pairs separated by single characters and starts
// with the maker's prefix; the bytes go to mac6 (written only on success).
int convert_MACSTR_MACINT(const char* text, u8* mac6);
// The byte as two upper-case hex digits (no NUL).
void convert_BYTE_ASCIIHEX(char* out2, u8 byte);
// True when the 6 bytes start with the maker's prefix.
bool Mac_IsMakers(const u8* mac6);

// Sign-on table: 5 OEM selections x 2 blocks; each block a model code and
// 11 entries of 24 bytes (u16 identity, 20-character name, start and length
// of the model text inside the name).
constexpr int kOemSelections = 5, kOemBlocks = 2, kOemEntries = 11, kOemNameChars = 20;
struct OemEntry {
    u16 identity;
    char name[kOemNameChars];
    u8 modelStart;
    u8 modelLength;
};
static_assert(sizeof(OemEntry) == 24, "24-byte table entry");
struct OemBlock {
    u16 modelCode;
    OemEntry entries[kOemEntries];
};
extern const OemBlock OemInfo[kOemSelections][kOemBlocks];
constexpr const char* kUnknownSignon = "*Unknown*";
constexpr u32 kModelTextMax = 10;

// Sign-on text (NUL-terminated, at most 20 characters) for the OEM selection
// byte, the model code (SR37) and the identity; its length.
int Oem_GetSignon(char* destination, u16 modelCode, u16 identity);
// Model text into destination (10 bytes: NUL-filled when shorter); its length.
int Oem_GetModel(char* destination, u16 modelCode, u16 identity);
