// The runtime Modbus variable mapping: mapping records tie IEC variables to
// the data buffers of client requests and server tables and to the status
// and counters of requests and slaves. Once per IEC cycle the exchange moves
// received values into variables, variables into the buffers to be sent or
// served, turns trigger variables into request triggers and clears the write
// markers of the server tables.
#pragma once

#include "platform/bytes.h"

// Mapping record of the context (28 bytes): offsets of its configuration
// record (from the configuration's start), of the variable's data, lock byte
// and status record (from the database's start; 0 none), of its request
// (from the context's start; 0: not linked), then the byte offset in the
// request's buffer, the mask, the kind, the bit-data flag and the lock mask.
constexpr u32 kMbMpCfg = 0, kMbMpData = 4, kMbMpRequest = 8, kMbMpLock = 12, kMbMpOffset = 16, kMbMpMask = 18,
              kMbMpKind = 20, kMbMpBit = 22, kMbMpLockMask = 23, kMbMpVsi = 24;
// Mapping configuration record.
constexpr u32 kMbmRequest = 4, kMbmOffset = 6, kMbmFormat = 8, kMbmMask = 10, kMbmType = 12, kMbmIndex = 14,
              kMbmKind = 16, kMbmCtOffset = 18, kMbmGain = 22, kMbmOffsetValue = 26;

// Binds every mapping record to its request and variable. A mapping whose
// offset and width do not lie inside its request's buffer, or whose variable
// does not exist, stays unbound (never served).
void Q4MB_Link(u8* db);
// The exchange pass of one IEC cycle, then the server tables' write markers
// are cleared.
void Q4MB_Exchange(u8* db);
