/* The protocol driver of the tests, built for this host against the public
 * driver header only, as a driver author would.
 *
 * It is a Modbus RTU master on serial port 0 or 1 (configuration byte 1):
 * read messages send function 3, write messages function 16, to the slave
 * named by the message's selector byte at the message's remote address.
 * Configuration byte 0 (not read by the manager) chooses how it waits for
 * an answer: 0 it sets the busy flag and is called again on a later pass,
 * 1 it calls the wait service until the answer is complete. The u32 at
 * configuration +4 is the answer time-out in milliseconds (0: 500).
 *
 * Results: 0 success; the slave's exception code (1-50) for an exception
 * answer; 100 when no answer came in time; 101 for a damaged answer.
 * The data type of a message is its type parameter byte.
 */
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "link/promgr_driver.h"

static DriverCallbackTable* table;
static int waiting;          /* a request is out */
static const uint8_t* asked; /* the driver part it was sent for */
static uint32_t timer;
static uint8_t answer[260];
static uint32_t got;
static const uint16_t build = 7;

static uint16_t Crc(const uint8_t* p, uint32_t n) {
    uint16_t crc = 0xFFFF;
    for (uint32_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : (uint16_t)(crc >> 1);
    }
    return crc;
}

static uint32_t Le32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
static uint16_t Le16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }
static uint32_t Port(void) { return table->config[1]; }

/* Registers the part asks for: the block record counts elements (two
 * registers for 32-bit ones), a sub-write record counts registers. */
static uint32_t Registers(const uint8_t* part) {
    uint32_t n = part[3] ? part[3] : Le16(part + 6);
    int block = table->message != NULL && part == table->message + 14;
    if (block && part[1] == 3) n *= 2;
    return n;
}

static void Send(const uint8_t* frame, uint32_t n) {
    uint16_t crc = Crc(frame, n);
    table->flushRx(Port());
    for (uint32_t i = 0; i < n; ++i) table->putByte(Port(), frame[i]);
    table->putByte(Port(), (uint8_t)crc);
    table->putByte(Port(), (uint8_t)(crc >> 8));
    table->sendFrame(Port());
    uint32_t ms = Le32(table->config + 4);
    timer = table->createTimer();
    table->writeTimer(timer, ms ? ms : 500);
    waiting = 1;
    got = 0;
}

static int Finish(int result) {
    waiting = 0;
    asked = NULL;
    table->closeTimer(timer);
    return result;
}

/* Collects the answer of `expect` bytes (5 for an exception); -1 while it
 * is still coming. */
static int Collect(uint32_t expect) {
    for (;;) {
        int c;
        while ((c = table->checkRx(Port())) == 1 && got < sizeof answer) {
            int b = table->getByte(Port());
            if (b < 0) break;
            answer[got++] = (uint8_t)b;
        }
        uint32_t need = (got >= 2 && (answer[1] & 0x80)) ? 5 : expect;
        if (got >= need) {
            if (Crc(answer, need - 2) != Le16(answer + need - 2)) return Finish(101);
            if (answer[1] & 0x80) return Finish(answer[2] >= 1 && answer[2] <= 50 ? answer[2] : 101);
            return 0;
        }
        if (table->readTimer(timer) == 0) return Finish(100);
        if (table->config[0] & 1) {
            table->wait(0);
            continue;
        }
        table->busy = 1;
        return -1;
    }
}

static int Read(const uint8_t* part, uint16_t* buffer) {
    uint32_t n = Registers(part);
    if (!waiting || asked != part) {
        uint8_t f[6] = {part[0], 3, part[5], part[4], (uint8_t)(n >> 8), (uint8_t)n};
        asked = part;
        Send(f, 6);
    }
    int r = Collect(5 + 2 * n);
    if (r != 0) return r < 0 ? 0 : r;
    if (answer[0] != part[0] || answer[1] != 3 || answer[2] != 2 * n) return Finish(101);
    for (uint32_t k = 0; k < n; ++k) buffer[k] = (uint16_t)(answer[3 + 2 * k] << 8 | answer[4 + 2 * k]);
    return Finish(0);
}

static int Write(const uint8_t* part, const uint16_t* data) {
    uint32_t n = Registers(part);
    if (n > 123) return 101;
    if (!waiting || asked != part) {
        uint8_t f[7 + 246];
        f[0] = part[0];
        f[1] = 16;
        f[2] = part[5];
        f[3] = part[4];
        f[4] = (uint8_t)(n >> 8);
        f[5] = (uint8_t)n;
        f[6] = (uint8_t)(2 * n);
        for (uint32_t k = 0; k < n; ++k) {
            f[7 + 2 * k] = (uint8_t)(data[k] >> 8);
            f[8 + 2 * k] = (uint8_t)data[k];
        }
        asked = part;
        Send(f, 7 + 2 * n);
    }
    int r = Collect(8);
    if (r != 0) return r < 0 ? 0 : r;
    if (answer[0] != part[0] || answer[1] != 16) return Finish(101);
    return Finish(0);
}

static int Open(DriverCallbackTable* t) {
    table = t;
    waiting = 0;
    asked = NULL;
    /* baud code, no parity, 8 data bits, one stop bit, RS-232, Modbus RTU */
    uint8_t mode[6] = {(uint8_t)Le16(t->config + 2), 0, 3, 0, 0, 3};
    return t->portOpen(Port(), mode) == 1 ? 0 : 1;
}

static int Type(uint8_t parameter, uint16_t remote) {
    (void)remote;
    return parameter;
}

static int Control(uint32_t code, uintptr_t parameter) {
    (void)code;
    (void)parameter;
    return 0;
}

static const DriverHeaderRecord header = {
    PMGR_DRIVER_MAGIC, "Test RTU master", NULL, &build, NULL, Open, NULL, Read, Write, Type, NULL, NULL, NULL,
    Control, NULL};

__attribute__((visibility("default"))) const DriverHeaderRecord* DRV_Header(void) { return &header; }
