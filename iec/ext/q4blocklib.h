/* The interface between the IEC runtime and a loadable block library.
 *
 * A block library is a shared object built for this host and placed in the
 * runtime's folder of the controller's root as "libq4blocks.so" (the root's
 * run/ folder). The runtime loads it when it starts (with every symbol bound
 * at once) and lists its blocks after its built-in ones; a program then
 * calls them like built-in blocks. The library exports, looked up by name:
 *
 *   int Q4Blocks_IsValid(void);               non-zero: the library may be used
 *   const char* Q4Blocks_GetBlockName(int id); the name of block id (1, 2, 3 ...
 *                                             without gaps; the first id without
 *                                             a name, NULL, ends the list)
 *   and, for every block, its handler exported under exactly the block's name.
 *
 * A name is upper case and at most 15 characters; a block whose handler is
 * not exported is left out. The file transfer of the programming software
 * does not write this file name: a library is installed by whoever installs
 * the controller's software.
 *
 * Handlers follow the runtime's block convention: (command, VM database,
 * class data, instance data, operands). For an execution (command 0) the
 * operands are the indexes of the call's operands in the VM database, and
 * operands[-1] holds their count; the other commands come without operands
 * and, for the size commands, without database. Answers:
 *   Q4BLK_CLASS_ID        a class number (0 for library blocks)
 *   Q4BLK_CLASS_SIZE      bytes of class data the block wants (shared by
 *                         every instance of the block)
 *   Q4BLK_INSTANCE_SIZE   bytes of instance data per call site (zeroed at a
 *                         cold start, kept across a hot restart)
 *   Q4BLK_ANY_TYPE        1 when the block takes typed operands
 *   Q4BLK_WANTS_KEEP_ALIVE 1 when the block wants Q4BLK_KEEP_ALIVE each cycle
 *   everything else       0
 * The life-cycle commands (class and instance init and end, hot init, keep
 * alive, instance name) are notices; their answers are not used.
 *
 * This header is C and plain C++. Everything runs in the controller's main
 * thread.
 */
#ifndef PLC_Q4BLOCKLIB_H
#define PLC_Q4BLOCKLIB_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define Q4BLOCKS_LIBRARY_FILE "libq4blocks.so"

typedef int (*Q4BlockHandler)(int command, uint8_t* db, uint8_t* classData, uint8_t* instanceData,
                              const uint16_t* operands);

enum Q4BlkCommand {
    Q4BLK_EXECUTE = 0,
    Q4BLK_CLASS_ID = 1,
    Q4BLK_CLASS_SIZE = 2,
    Q4BLK_INSTANCE_SIZE = 3,
    Q4BLK_CLASS_INIT = 4,
    Q4BLK_CLASS_END = 5,
    Q4BLK_INSTANCE_INIT = 6,
    Q4BLK_INSTANCE_END = 7,
    Q4BLK_HOT_INIT = 8,
    Q4BLK_ANY_TYPE = 9,
    Q4BLK_KEEP_ALIVE = 10,
    Q4BLK_WANTS_KEEP_ALIVE = 11,
    Q4BLK_INSTANCE_NAME = 12
};

/* What the library exports (declared here for its author). */
int Q4Blocks_IsValid(void);
const char* Q4Blocks_GetBlockName(int id);

#ifdef __cplusplus
}
#endif

#endif
