// The runtime's CAN driver: turns the CAN definition that the compiler puts
// in the code image (code extension entry 17: ports, the messages that
// travel on them and the variables bound to their bytes and bits) into three
// tables of the VM database (areas 36 ports, 37 messages, 38 variables) at
// the application build, and in every VM cycle reads the frames that arrived
// on each port, unpacks received messages into variables, packs variables
// into the messages to send, queues the send messages that are due (cyclic,
// on request, on change) and writes their frames. Programs also send frames
// of their own (CANSND) and fetch frames that no declared message names
// (CANRCVMSG) through the dynamic messages of each port.
//
// The records live in the database and hold no host addresses: definitions
// are byte offsets in the code image, messages are indexes in area 37 (+1 in
// link fields, 0 = none), variables and lock bytes are database offsets.
//
// The definition comes with a download and is checked whole at sizing and
// build: tables inside the image, port and message indexes and per-port
// counts against the totals, bit fields of at most 32 bits, no raw STRING,
// variables inside their tables; a definition that fails is refused.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmcode.h"
#include "iec/kernel/q4vmfb.h"

constexpr u32 kQ4CanMaxData = 8;

// CAN definition header.
constexpr u32 kCanDefVersion = 0, kCanDefPorts = 2, kCanDefRcv = 4, kCanDefSnd = 6, kCanDefVars = 8,
              kCanDefDyn = 10, kCanDefPortsAt = 12, kCanDefRcvAt = 16, kCanDefSndAt = 20, kCanDefVarsAt = 24,
              kCanDefScaleAt = 28;
// Port definition (80 bytes).
constexpr u32 kCanPdRcv = 2, kCanPdSnd = 4, kCanPdMode = 10, kCanPdParam = 12, kCanPdOptions = 14, kCanPdName = 16,
              kCanPdNameBytes = 64, kCanPdBytes = 80;
// Message definition (16 bytes, + 8 bytes of initial data with flag 0x80).
constexpr u32 kCanMdId = 0, kCanMdPeriod = 4, kCanMdMaxInterval = 8, kCanMdPort = 12, kCanMdLength = 14,
              kCanMdFlags = 15, kCanMdBytes = 16, kCanMdInitBytes = 8;
constexpr u8 kCanMdModeMask = 0x0F, kCanMdDriverFlag = 0x40, kCanMdHasInit = 0x80;
// Variable definition (16 bytes).
constexpr u32 kCanVdMessage = 0, kCanVdOffset = 2, kCanVdKind = 3, kCanVdMask = 4, kCanVdLength = 5, kCanVdRaw = 6,
              kCanVdOrder = 7, kCanVdSend = 8, kCanVdType = 9, kCanVdIndex = 10, kCanVdCtOffset = 12,
              kCanVdBytes = 16, kCanScaleBytes = 8;

// Port record (area 36).
constexpr u32 kCanPrDef = 0, kCanPrRcvFirst = 4, kCanPrRcvCount = 6, kCanPrSndFirst = 8, kCanPrSndCount = 10,
              kCanPrQueueHead = 12, kCanPrQueueTail = 14, kCanPrDynRcv = 16, kCanPrDynSnd = 18, kCanPrName = 20,
              kCanPrFlags = 24, kCanPrParam = 26, kCanPrDynCount = 28, kCanPrCallback = 30, kCanPrHandle = 32,
              kCanPrBytes = 40;
constexpr u16 kCanPortMode1 = 0x0001, kCanPortFirst = 0x0002, kCanPortReceived = 0x0004;
// Message record (area 37).
constexpr u32 kCanMrDef = 0, kCanMrNext = 4, kCanMrId = 8, kCanMrData = 12, kCanMrQueued = 20, kCanMrStatus = 24,
              kCanMrParam = 28, kCanMrFlags = 32, kCanMrLength = 34, kCanMrMarker = 35, kCanMrBytes = 40;
constexpr u16 kCanMsgNew = 0x0001, kCanMsgQueued = 0x0002, kCanMsgChanged = 0x0004, kCanMsgRequested = 0x0008,
              kCanMsgDriver = 0x0010, kCanMsgDynamic = 0x0020, kCanMsgDeclaredSend = 0x8000;
// Variable record (area 38).
constexpr u32 kCanVrDef = 0, kCanVrScale = 4, kCanVrMessage = 8, kCanVrData = 12, kCanVrLock = 16, kCanVrLockMask = 20,
              kCanVrBytes = 24;

// Sizing (descriptors of areas 36-38) from the code image; 1 when the
// definition is refused (the application with it).
int Q4VMCan_GetDBSize(u8* descriptors, const Q4Code& code);
// Builds the tables and opens the ports: 0, or 1 when the definition is
// refused or a port could not be opened (ports it opened are closed again).
int Q4VMCan_Build(u8* db, const Q4Code& code);
// 1 when the new definition does not fit the tables as allocated (or is
// refused).
int Q4VMCan_CanBuildHot(u8* db, const Q4Code& code);
int Q4VMCan_BuildHot(u8* db, const Q4Code& code);
// One exchange; now is the VM time in ms of the day.
void Q4VMCan_Exchange(u8* db, u32 now);
void Q4VMCan_Close(u8* db);

// port: a port name, "" for port 0, or "1".."9..." for a 1-based number.
// 1 when the message was queued on a dynamic send message of the port; 0 for
// an unknown port, no dynamic messages, a length above 8 or none free.
int Q4VMCan_SendAppMsg(u8* db, const char* port, u32 id, u32 length, const u8* data, int flag);
// 1 when a stored dynamic receive message of the port was handed out
// (identifier word, length, length bytes of data) and freed.
int Q4VMCan_RcvAppMsg(u8* db, const char* port, u32* id, u32* length, u8* data);

// Index of a port by the port search rule, or -1.
int Q4VMCan_FindPort(u8* db, const char* name);

// Message lists of a port (records of area 37; none when empty).
u8* Q4VMCan_PeekNextSndMsg(u8* db, u8* port);
u8* Q4VMCan_PopNextSndMsg(u8* db, u8* port);
u8* Q4VMCan_FindRcvMsg(u8* db, u8* port, u32 id);
void Q4VMCan_MarkRcvMsg(u8* db, u8* port, u8* msg);
u8* Q4VMCan_GetSndMsgList(u8* db, u8* port, u16* count);
u8* Q4VMCan_GetRcvMsgList(u8* db, u8* port, u16* count);
// The same operations by command: 1 peek, 2 pop, 3 find, 4 mark.
u8* Q4VMCan_CB(u8* db, int command, u8* port, u8* msg, u32 id);

// Records by number (none outside the used part of their area).
u8* Q4VMCan_Port(u8* db, u32 index);
u8* Q4VMCan_Message(u8* db, u32 index);

// The block CANRCVMSG: PORT, DATA (ANY byte array with its element count);
// outputs OK, ID, LEN; 8 bytes of instance data.
int Q4stfb_CANRCVMSG(int command, u8* db, u8* classData, u8* inst, const u16* ops);
inline constexpr Q4BlockEntry kQ4VmCanRows[] = {{"CANRCVMSG", Q4stfb_CANRCVMSG}};
