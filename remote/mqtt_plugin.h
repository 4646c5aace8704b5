/* The interface between the MQTT client and its payload plug-ins.
 *
 * A payload plug-in is a shared library, one per broker connection, carried
 * inside the downloaded MQTT table. The controller writes it to a file,
 * loads it, hands it a link record with its configuration and the register
 * access functions, and calls its entry points from the main loop:
 *
 *   int  dlInit(dlLinkDpcConfigs* link);   each time the connection's client is created
 *   void dlScanFirst(uint8_t connection, MqttPublishEntry* publish, MqttReceiveBlock* receive);
 *                                          once the broker accepted the connection
 *   void dlScan(uint8_t connection, MqttPublishEntry* publish, MqttReceiveBlock* receive);
 *                                          about every third main-loop pass afterwards
 *   void dlDeInit(void);                   resolved, never called
 *
 * The plug-in fills the publish table (kMqttPublishEntries entries) and sets
 * an entry's state to 1; the controller publishes it. It names the topics to
 * subscribe to in the first blocks of the receive area (one block per
 * subscription, as many as the connection record's subscription count) and
 * reads the messages stored there during dlScan, giving a block's slots back
 * by setting its used count to 0. The receive area is written by the
 * library's network thread only while the controller holds the connection's
 * lock, and dlScan runs under that same lock, so a plug-in never sees a
 * half-written slot.
 *
 * This header is C and plain C++. The link record holds native pointers of
 * the controller's process (it is never stored or exchanged); the publish
 * table and the receive area keep their byte layouts, checked below.
 */
#ifndef PLC_MQTT_PLUGIN_H
#define PLC_MQTT_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    kMqttPublishEntries = 128,
    kMqttReceiveBlocks = 64,
    kMqttSlotsPerBlock = 8,
    kMqttTopicBytes = 256,
    kMqttPayloadBytes = 4096
};

/* States of a publish entry. */
enum { kMqttEntryReady = 1, kMqttEntrySent = 2, kMqttEntryDone = 3 };
/* Flags of a message slot. */
enum { kMqttSlotStored = 1, kMqttSlotTooLong = 3 };

typedef struct MqttPublishEntry {
    char topic[256];          /* NUL-terminated; an empty topic is never published */
    uint8_t payload[4096];
    uint32_t payloadLength;   /* more than 4,096 refuses the entry */
    uint32_t qos;
    uint8_t retain;           /* non-zero: retained */
    uint8_t state;            /* 1 ready (plug-in), 2 handed to the library, 3 done (controller) */
    uint8_t unused[2];
    uint32_t messageId;       /* given by the library */
    uint32_t errors;          /* failed publish attempts; 0 again with state 3 */
} MqttPublishEntry;

typedef struct MqttMessageSlot {
    char topic[256];          /* NUL-terminated */
    uint8_t payload[4096];
    uint32_t payloadLength;
    uint32_t qos;
    uint8_t retain;
    uint8_t flag;             /* 1 stored; 3 its payload of 4,096 bytes or more was dropped */
    uint8_t unused[2];
} MqttMessageSlot;

typedef struct MqttReceiveBlock {
    MqttMessageSlot slots[8];
    char topicFilter[256];    /* written by the plug-in */
    uint32_t qos;             /* written by the plug-in */
    uint32_t messageId;       /* of the subscribe request */
    uint32_t unused;
    uint32_t stamp;           /* seconds, when the subscribe request was sent */
    uint32_t used;            /* slots used; the plug-in sets it back to 0 */
} MqttReceiveBlock;

typedef struct dlLinkDpcConfigs {
    const uint8_t* table;             /* body of the MQTT table */
    const uint8_t* connection;        /* this connection's 184-byte record in it */
    /* Register access by register bit address or IEC variable reference;
     * 1 when done. */
    int (*plcRegGet)(void* destination, uint32_t address, uint32_t bits);
    int (*plcRegSet)(uint32_t address, const void* source, uint32_t bits);
    /* With 0 seconds stores the current time (seconds) in *stamp; otherwise
     * 1 once that many seconds have passed since *stamp. */
    int (*checkTimeout)(uint32_t* stamp, uint32_t seconds);
    uint32_t one;                     /* always 1 */
    const uint8_t* iecLoaded;         /* non-zero while an IEC application is loaded */
    const uint8_t* iecEnumerated;     /* non-zero once its variables are known */
    /* IEC-aware access at a reference plus a bit offset; 1. */
    int (*regSet)(uint32_t reference, uint32_t bitOffset, const uint32_t* value, uint32_t bits);
    int (*regGet)(uint32_t reference, uint32_t bitOffset, void* destination, uint32_t bits);
} dlLinkDpcConfigs;

typedef int (*MqttPluginInit)(dlLinkDpcConfigs* link);
typedef void (*MqttPluginScan)(uint8_t connection, MqttPublishEntry* publish, MqttReceiveBlock* receive);
typedef void (*MqttPluginDeInit)(void);

#ifdef __cplusplus
}
static_assert(sizeof(MqttPublishEntry) == 4372, "publish entry layout");
static_assert(offsetof(MqttPublishEntry, payloadLength) == 4352 && offsetof(MqttPublishEntry, state) == 4361 &&
                  offsetof(MqttPublishEntry, messageId) == 4364 && offsetof(MqttPublishEntry, errors) == 4368,
              "publish entry fields");
static_assert(sizeof(MqttMessageSlot) == 4364, "message slot layout");
static_assert(offsetof(MqttMessageSlot, flag) == 4361, "message slot fields");
static_assert(sizeof(MqttReceiveBlock) == 35188, "receive block layout");
static_assert(offsetof(MqttReceiveBlock, topicFilter) == 34912 && offsetof(MqttReceiveBlock, qos) == 35168 &&
                  offsetof(MqttReceiveBlock, stamp) == 35180 && offsetof(MqttReceiveBlock, used) == 35184,
              "receive block fields");
#endif

#endif
