// The MQTT client: up to 8 broker connections described by the downloaded
// MQTT table, each driven by a state machine stepped once per main-loop pass
// in run mode, each with its own payload plug-in (remote/dynamicLibs.h) that
// fills the publish table and reads the receive area.
//
// The broker side goes through the system's MQTT library, opened at run time
// by name ("libmosquitto.so") and used only through functions looked up by
// name. Each connection runs the library's network thread; its callbacks
// write the connection's flags, counts, subscription flags and receive slots
// only while holding the connection's lock, never demoMutex, and the main
// loop reads them and runs the plug-in's scan under the same lock.
//
// Times are whole seconds of the controller's monotonic clock.
#pragma once

#include <poll.h>

#include <vector>

#include "platform/bytes.h"
#include "remote/dynamicLibs.h"
#include "remote/mqtt_plugin.h"

constexpr u32 kMqttConnectionsMax = 8;
constexpr u32 kMqttSubscriptionsMax = 64;
constexpr u32 kMqttTextChars = 256;       // text fields: 255 characters and the NUL
constexpr u32 kMqttWillBytes = 1024;
constexpr u32 kMqttRecordBytes = 184;
constexpr u32 kMqttMinBody = 16;          // a shorter body is no table
constexpr u32 kMqttQueuedMax = 1024;
constexpr u32 kMqttLibFunctions = 28;

// Offsets of the table body.
constexpr u32 kMqttRecordsAt = 2, kMqttStatusRegAt = 12, kMqttEnableRegAt = 16, kMqttCountAt = 20,
              kMqttPoolAt = 32, kMqttAttachAt = 36;
// Offsets of a connection record.
enum MqttRecordField : u32 {
    kRecNumber = 4, kRecFlags = 5, kRecPayloadMode = 6, kRecAddressForm = 7, kRecWillQos = 8, kRecCertData = 9,
    kRecPort = 12, kRecVersion = 14, kRecTlsVersion = 20, kRecKeepAlive = 24, kRecSparkplug = 28, kRecName = 36,
    kRecClientId = 52, kRecAddress = 60, kRecHostLength = 64, kRecUser = 68, kRecPassword = 76, kRecWillTopic = 84,
    kRecWillPayload = 92, kRecCa1 = 100, kRecCa2 = 108, kRecClientCert = 116, kRecClientKey = 124,
    kRecKeyPass = 132, kRecPublishCount = 172, kRecSubscriptionCount = 174, kRecImageOffset = 176,
    kRecImageLength = 180
};
// Bits of the flags byte.
constexpr u8 kMqttFlagWill = 0x01, kMqttFlagTls = 0x02, kMqttFlagClean = 0x04, kMqttFlagWillRetain = 0x08,
             kMqttFlagSparkplugWill = 0x10;
// Roles (flags bits 5-7).
constexpr u8 kMqttRoleBoth = 1, kMqttRolePublisher = 2, kMqttRoleSubscriber = 3;

// Connection states; 10 waits for the reason below.
enum : u8 {
    kMqttCreate = 0, kMqttDestroy = 1, kMqttSettings = 2, kMqttConnect = 3, kMqttDisconnect = 4,
    kMqttLoopStart = 5, kMqttLoopStop = 6, kMqttPublish = 7, kMqttSubscribe = 8, kMqttWait = 10
};
enum : u8 { kMqttWaitConnect = 1, kMqttWaitDisconnect = 2, kMqttWaitConnected = 3, kMqttWaitRun = 4 };

struct MqttSubscriptionState {
    u8 unused[6];
    u8 subscribed;
    u8 waiting;   // for the acknowledgement
};

struct MqttConnectionState {
    u8 inUse, restart, addressChanged, loopRunning;
    u8 cleanSession, willEnabled, sparkplugWill, willRetain;
    u8 role;
    u8 state, waitReason;
    u8 addressForm, number, payloadMode;
    u16 port;
    u16 queued;            // publishes handed over while not connected
    void* client;          // the library's client handle
    char name[kMqttTextChars], address[kMqttTextChars], hostName[kMqttTextChars], previous[kMqttTextChars],
        user[kMqttTextChars], password[kMqttTextChars], clientId[kMqttTextChars], willTopic[kMqttTextChars];
    u8 willPayload[kMqttWillBytes];
    u32 willLength;
    MqttSubscriptionState subscriptions[kMqttSubscriptionsMax];
    MqttPublishEntry publish[kMqttPublishEntries];
    MqttReceiveBlock receive[kMqttReceiveBlocks];
    u32 keepAlive;
    u8 willQos;
    int protocol;          // 3 (MQTT 3.1) or 4 (MQTT 3.1.1)
    u32 currentBlock;
    u32 connectStamp, disconnectStamp;
    u16 publishTopics, subscriptionCount;
    u32 publishCount, receivedCount;
    u8 connected;
    // TLS
    u8 tls, certData;
    char tlsVersion[16];
    char caFile[kMqttTextChars], certFile[kMqttTextChars], keyFile[kMqttTextChars];
    char keyPass[128];
    u16 certCrc;           // table whose certificate files were written
    u32 certSize;
    u8 certWritten;
    MqttPlugin plugin;
};

struct MqttClientState {
    u8 enable, reload, libState, count, downloadSeen, configValid;
    u8 readType;           // 3: the next read installs the plug-in images
    u8 libFailed;          // the library could not be loaded (told once)
    u16 tableCrc;
    u32 tableSize;
    u32 statusReg;
    u32 totalPublished, totalReceived;
    MqttConnectionState conn[kMqttConnectionsMax];
};

// One pass of the client (after every main-loop pass; run mode only).
void mqttStateLoop();

// Reads the table into the client state: 1 when read, 0 when there is none.
// Type 3 first clears status bits 0-15 and installs the plug-in images.
int readConfigNvram(int type);
// The same from a body of size bytes whose CRC-16 is crc; nothing is read
// outside it.
int Mqtt_ReadTable(const u8* body, u32 size, u16 crc, int type);
// 1 when the library and its 28 functions were found.
int dynamicLibInit();
// Loads every connection's plug-in; a failed one does not stop the others.
void dlInitialize();
// Writes value at the status register plus bitOffset as 1, 8, 16 or 32 bits.
void setMqttStatusReg(u32 bitOffset, u32 value, u32 bits);
// With 0 seconds stores the current time in *stamp and answers 0; otherwise
// 1 once that many seconds have passed since *stamp.
int checkTimeout(u32* stamp, u32 seconds);
// Creates (or truncates) the host file with the data through a new file and
// a rename, with the given mode; 1 when the whole length was written. No
// data or length 0 writes an empty file and answers 0.
int createFile(const char* hostPath, const void* data, u32 length, unsigned mode);

// The descriptor the callbacks signal, for the main loop's idle wait.
void Mqtt_PollSet(std::vector<pollfd>& fds);

// Tests: the client state, read-only outside the main loop's thread except
// through the lock of a connection.
const MqttClientState& Mqtt_State();
MqttConnectionState& Mqtt_Connection(int index);
// Runs f while holding the connection's lock.
void Mqtt_WithLock(int index, void (*f)(MqttConnectionState&, void*), void* context);
// The library file opened instead of "libmosquitto.so" (nullptr: that one).
void Mqtt_SetLibraryName(const char* name);
// Stops and destroys every client, closes the plug-ins and forgets all
// state (tests, shutdown).
void Mqtt_Reset();
