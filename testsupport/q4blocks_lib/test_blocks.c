/* The block library of the tests, built for this host against the public
 * header only, as a library author would, in three variants:
 *   TEST_BLOCKS_VARIANT 0  valid; names LIBCOUNT (1), LIBSEEN (2) and
 *                          LIBNOPROC (3, no handler exported), no block 4,
 *                          and a name for id 5 that must never be listed
 *   TEST_BLOCKS_VARIANT 1  Q4Blocks_IsValid answers 0
 *   TEST_BLOCKS_VARIANT 2  no Q4Blocks_GetBlockName
 * LIBCOUNT counts its executions in its 4 bytes of instance data (u32
 * little-endian). LIBSEEN keeps, in its 8 bytes of instance data, the
 * operand count and the first operand's index of its last execution (u32
 * little-endian each).
 */
#include <stddef.h>
#include <stdint.h>

#include "iec/ext/q4blocklib.h"

#define EXPORT __attribute__((visibility("default")))

static uint32_t Get32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
static void Put32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

EXPORT int Q4Blocks_IsValid(void) { return TEST_BLOCKS_VARIANT == 1 ? 0 : 1; }

#if TEST_BLOCKS_VARIANT != 2
EXPORT const char* Q4Blocks_GetBlockName(int id) {
    switch (id) {
        case 1: return "LIBCOUNT";
        case 2: return "LIBSEEN";
        case 3: return "LIBNOPROC";
        case 5: return "LIBHIDDEN";
        default: return NULL;
    }
}
#endif

EXPORT int LIBCOUNT(int command, uint8_t* db, uint8_t* classData, uint8_t* inst, const uint16_t* ops) {
    (void)db;
    (void)classData;
    (void)ops;
    if (command == Q4BLK_INSTANCE_SIZE) return 4;
    if (command == Q4BLK_EXECUTE && inst) Put32(inst, Get32(inst) + 1);
    return 0;
}

EXPORT int LIBSEEN(int command, uint8_t* db, uint8_t* classData, uint8_t* inst, const uint16_t* ops) {
    (void)db;
    (void)classData;
    if (command == Q4BLK_INSTANCE_SIZE) return 8;
    if (command == Q4BLK_EXECUTE && inst && ops) {
        Put32(inst, ops[-1]);
        Put32(inst + 4, ops[-1] ? ops[0] : 0);
    }
    return 0;
}

EXPORT int LIBHIDDEN(int command, uint8_t* db, uint8_t* classData, uint8_t* inst, const uint16_t* ops) {
    (void)command;
    (void)db;
    (void)classData;
    (void)inst;
    (void)ops;
    return 0;
}
