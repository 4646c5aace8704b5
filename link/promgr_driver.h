/* The interface between the protocol driver manager and a loadable protocol
 * driver.
 *
 * A protocol driver is a shared object carried in the downloaded
 * protocol-driver section. When the controller leaves stop mode the manager
 * writes the image to /dev/shm/drvN.so under the controller's root (mode
 * 0600), loads it, calls its exported function
 *
 *   const DriverHeaderRecord* DRV_Header(void);
 *
 * checks the magic of the record it returns, builds the driver's control
 * blocks and hands the driver its DriverCallbackTable through the open entry.
 * Everything runs in the controller's main-loop thread; a driver entry that
 * has to wait for its wire either sets the table's busy flag and returns (it
 * is called again on a later pass) or calls the table's wait service, which
 * runs one nested pass of the main loop.
 *
 * Host edition. The board's drivers are 32-bit objects whose header record,
 * callback table and control blocks hold 32-bit addresses at fixed offsets.
 * A driver for this host is built for this host: the records below keep the
 * board's field order and names but hold native pointers and function
 * pointers, so their sizes and offsets are those the compiler gives them
 * (sizeof, offsetof), not the board's byte counts. The element index, run
 * length and run index of a message control block, bytes on the board, are
 * 16 bits wide here so that messages of more than 255 elements are walked
 * whole. The records of the downloaded section itself (driver records,
 * configuration, station and message records) are read from the section as
 * little-endian bytes and keep their exact layout; a driver reads them
 * through the byte pointers it is given.
 *
 * This header is C and plain C++.
 */
#ifndef PLC_PROMGR_DRIVER_H
#define PLC_PROMGR_DRIVER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PMGR_DRIVER_MAGIC 0xA5A55A5Au

enum {
    kPmgrMaxDrivers = 8,
    kPmgrMaxStations = 128,
    kPmgrMaxMessages = 512,
    kPmgrTimers = 32,
    kPmgrAreaBytes = 32768 /* data segment and buffer area of one driver */
};

typedef struct DriverCallbackTable DriverCallbackTable;
typedef struct PromgrMessageBlock PromgrMessageBlock;

/* The record DRV_Header returns. Results of read and write: 0 success,
 * 1-50 an error the station reported, any other value a failed attempt. */
typedef struct DriverHeaderRecord {
    uint32_t magic; /* 0xA5A55A5A */
    const char* name;           /* the first 20 characters are shown */
    const void* unused8;
    const uint16_t* build;      /* build number */
    const void* unused16;
    int (*open)(DriverCallbackTable* table);           /* 0: opened */
    int (*stop)(void);                                 /* own-scan drivers, at stop */
    int (*read)(const uint8_t* part, uint16_t* buffer); /* part: message record + 14 */
    int (*write)(const uint8_t* part, const uint16_t* data);
    int (*type)(uint8_t typeParameter, uint16_t remoteAddress); /* data type code 0-17 */
    int (*diagnostics)(uint8_t* words23);              /* words 2-3 of the diagnostics area (little-endian, any alignment) */
    int (*resetDiagnostics)(void);
    const void* entry48;                               /* copied, never called */
    int (*control)(uint32_t code, uintptr_t parameter);
    int (*ownScan)(void);                              /* option bit 15 */
} DriverHeaderRecord;

typedef const DriverHeaderRecord* (*DriverHeaderEntry)(void);

/* Movers of a message: they move data between registers and the message's
 * buffers; change movers answer 1 for a change found. */
typedef int (*PromgrMover)(PromgrMessageBlock* message);

/* Station control block. */
typedef struct PromgrStationBlock {
    uint8_t* status;            /* two status words in the register memory, or null */
    uint16_t lastError;
    uint8_t retry;
    uint16_t attemptsLeft;
    uint16_t state;             /* 0 online, 1 back, 2 failed, 3 cycle ended, 4 offline */
    uint32_t stamp;             /* 10-ms ticks */
    PromgrMessageBlock* holder; /* message that holds the station, or null */
    const uint8_t* config;      /* PromgrDriverConfig */
    const uint8_t* record;      /* PromgrStationRecord */
} PromgrStationBlock;

/* Message control block. */
struct PromgrMessageBlock {
    uint8_t code;        /* process code 0-11 */
    uint8_t type;        /* data type code */
    uint8_t bitOffset;   /* bit messages: first bit within the first register byte */
    uint16_t count;      /* element count */
    uint16_t options;    /* 1 single-element writes, 0x10 word swap, 0x100 32-bit word order */
    uint16_t index;      /* element index */
    uint16_t run;        /* run length */
    uint16_t runIndex;   /* element (or, bit messages, byte) index of the run */
    uint8_t triggerMask;
    uint16_t* write;     /* write buffer, the shadow of change-detected messages */
    uint16_t* read;      /* read buffer */
    uint8_t* data;       /* data in the register memory */
    uint8_t* trigger;    /* trigger byte, or null */
    PromgrStationBlock* station;
    const uint8_t* record; /* PromgrMessageRecord */
    PromgrMover afterRead;
    PromgrMover change;  /* change mover, or the fetch mover of trigger writes */
    PromgrMover fetch;
    uint16_t resumeCode; /* code 11: code to resume after the inter-frame delay */
    uint32_t stamp;      /* code 11: free-running time (100 us) of the delay's start */
    /* Host edition only: how the movers see the data. */
    uint8_t width;       /* words per element: 1, 2 (32-bit) or 43 (string) */
    uint8_t boolBytes;   /* bit message over IEC BOOL variables: one byte per element */
};

/* Device table of Ethernet drivers (257 entries; an entry with address,
 * endpoint and flags 0 ends the list). A downloaded-format record. */
typedef struct PromgrDeviceEntry {
    uint32_t address;   /* station record +4 */
    uint32_t endpoint;  /* station record +24, or +32 with extra flag bit 1 */
    uint16_t flags;     /* station record +29 when its length is above 28 */
    uint16_t mark;      /* 0x00A5 */
    uint32_t alternative; /* station record +32 with extra flag bit 1 */
} PromgrDeviceEntry;

/* Timer control block. */
typedef struct PromgrTimerBlock {
    uint32_t start;      /* 10-ms ticks */
    uint16_t remaining;  /* 10-ms ticks */
    uint16_t inUse;
} PromgrTimerBlock;

/* The services and data a driver receives in open. */
struct DriverCallbackTable {
    const DriverHeaderRecord* header;
    uint8_t* dataSegment;                /* 32 KB, cleared at every start */
    const uint8_t* config;               /* PromgrDriverConfig */
    const uint8_t* station;              /* station record of the transaction in progress */
    const uint8_t* message;              /* message record of the transaction in progress */
    void (*beep)(void);
    int (*wait)(int value);              /* one nested main-loop pass; 0 */
    uint32_t (*createTimer)(void);
    void (*writeTimer)(uint32_t timer, uint32_t milliseconds);
    uint32_t (*readTimer)(uint32_t timer); /* remaining 10-ms ticks */
    void (*closeTimer)(uint32_t timer);
    int (*portOpen)(uint32_t port, const uint8_t* record); /* 1 success */
    void (*flushTx)(uint32_t port);
    int (*putByte)(uint32_t port, uint8_t byte);
    void (*sendFrame)(uint32_t port);
    void (*flushRx)(uint32_t port);
    int (*checkRx)(uint32_t port);       /* 1 byte readable, 0 none, 255 end of an RTU frame */
    int (*getByte)(uint32_t port);       /* the byte, or -1 */
    void (*initWait)(uint32_t port, uint32_t microseconds, uint32_t third);
    int (*waitRx)(uint32_t port, uint8_t* byte);
    int (*ioCtl)(uint32_t port, int request, uint32_t* value);
    uint32_t baseR, baseAQ, baseAI, baseSR; /* base bit addresses of %R, %AQ, %AI, %SR */
    uint32_t countAI, countAQ, countR;      /* word counts */
    int (*putBlock)(uint32_t port, const uint8_t* data, uint32_t length); /* serial ports */
    uint8_t* (*regPtr)(uint32_t address, uint32_t bits);
    int (*regGet)(void* destination, uint32_t address, uint32_t bits);
    int (*regSet)(uint32_t address, const void* source, uint32_t bits);
    uint16_t busy;                       /* set by the driver while a transaction is unfinished */
    uint16_t one;
    int (*portClose)(uint32_t port);     /* Ethernet ports */
    const uint8_t* firstMessage;
    PromgrMessageBlock* messageBlocks;
    uint32_t messageCount;
    uint32_t firstGroup;
    PromgrMessageBlock* secondGroupBlocks;
    uint32_t secondGroupCount;
    PromgrStationBlock* stationBlocks;
    uint32_t stationCount;
    uint32_t controlCode;                /* queued control request, 0 none */
    uint32_t controlResult;
    uintptr_t controlParameter;
    const uint8_t* configAgain;
    uint8_t* diagnostics;                /* four words in the register memory, or null */
    uint32_t cycleCounter;
    uint32_t unused192;
    uint32_t cycleStart;                 /* 10-ms ticks */
    uint16_t selectorCopy;
    uint8_t enableMask;
    uint8_t* enableByte;
    uint8_t* selectorWord;
    uint32_t unused212;
    uint32_t resume;                     /* messages still to walk in the interrupted walk */
    /* Host edition: the device table of Ethernet drivers. The board writes its
     * address into configuration +16, a 32-bit field; here the section stays
     * as downloaded and the address is given here. */
    const struct PromgrDeviceEntry* deviceTable;
};

/* Driver control block. */
typedef struct PromgrDriverBlock {
    uint16_t port;       /* logical port */
    uint16_t state;      /* 0 idle, 1 start a cycle, 2 running, 3 done, 4 period wait, 5 enable wait */
    uint8_t* dataSegment;
    int (*open)(DriverCallbackTable* table);
    int (*stop)(void);
    int (*read)(const uint8_t* part, uint16_t* buffer);
    int (*write)(const uint8_t* part, const uint16_t* data);
    int (*type)(uint8_t typeParameter, uint16_t remoteAddress);
    int (*diagnostics)(uint8_t* words23);
    int (*resetDiagnostics)(void);
    const void* entry48;
    int (*control)(uint32_t code, uintptr_t parameter);
    int (*ownScan)(void);
    uint32_t flags;      /* bit 15: own scan */
    DriverCallbackTable table;
} PromgrDriverBlock;

#ifdef __cplusplus
}
#endif

#endif
