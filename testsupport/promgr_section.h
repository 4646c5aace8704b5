// Builds protocol-driver sections (memory area 20) for the tests: drivers
// with their image, configuration, stations and scan list, laid out as the
// programming software downloads them. Every field has a sound default, so
// a test names only what it is about; hostile sections are made by editing
// the bytes afterwards.
#pragma once

#include <vector>

#include "platform/bytes.h"

struct PmgrStationSpec {
    u32 status = 0;    // register bit address of the two status words, 0 none
    u32 address = 1;   // station address
    u16 flags = 0;     // station flags
    u16 port = 0;
    u16 length = 28;   // record length (32 or more with a disable bit)
    u8 extra = 0;      // extra flags (present when the length is above 28)
    u32 alternative = 0;
    u32 disable = 0;   // disable bit (flags low nibble 2), written at length - 4
};

struct PmgrMessageSpec {
    u16 flags = 1;     // 1 read, 2 change-detected, 4/8 triggered read/write, 0x10 write first, 0x100 32-bit
    u32 data = 0;      // register bit address of the data
    u32 trigger = 0;   // trigger bit
    u8 selector = 1;   // the station address as the driver knows it
    u8 type = 2;       // type parameter (the test drivers answer it as the data type)
    u8 station = 0;    // station index
    u8 count = 1;
    u16 remote = 0;    // remote address
    u16 count16 = 0;   // count used when count is 0
    u16 length = 36;   // record length
};

struct PmgrDriverSpec {
    std::vector<u8> image;  // the shared object (may be empty for stub loading)
    u8 mode = 0;            // configuration byte 0 (the driver's own)
    u8 port = 1;            // port byte
    u16 baud = 6;           // baud code
    u32 own4 = 0;           // configuration +4 (the driver's own)
    u32 diagnostics = 0;
    u32 period = 0;         // 10-ms ticks
    u16 options = 0;
    u16 attempts = 3;
    u32 retry = 100;        // station retry time, 10-ms ticks
    u32 enable = 0, selector = 0, hold = 0;
    u16 version = 100;
    u32 firstGroup = 0;
    std::vector<PmgrStationSpec> stations{PmgrStationSpec{}};
    std::vector<PmgrMessageSpec> messages;
};

struct PmgrSection {
    u32 version = 6;
    std::vector<PmgrDriverSpec> drivers;
};

// Offsets of a driver record's fields.
constexpr u32 kPmgrRecImage = 0, kPmgrRecConfig = 4, kPmgrRecStations = 8, kPmgrRecStationCount = 12,
              kPmgrRecMessages = 16, kPmgrRecMessageCount = 20;
// Offset of driver record i in a section.
constexpr u32 PmgrDriverRecord(u32 i) { return 16 + 32 * i; }

std::vector<u8> BuildPmgrSection(const PmgrSection& section);
// Stores the bytes as the protocol-driver block and marks the program as
// carrying a protocol-driver section.
void StorePmgrSection(const std::vector<u8>& bytes);
// The image of the tests' RTU driver (a shared object built with the tests).
std::vector<u8> PmgrTestDriverImage();
