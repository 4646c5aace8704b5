// Standard functions: the table of 222 slots that the compiled code calls by
// number, and the one dispatcher the interpreter hands a call to.
//
// A call instruction is the opcode, the function number, the operand count N
// and N operand words; operand 0 is the result variable's index, the inputs
// follow (a literal type code first for functions that take any type). The
// slot numbers are part of the code image format and never move.
#pragma once

#include <array>
#include <span>

#include "platform/bytes.h"

// Handler: (VM database, operand list, function number) -> non-zero to go on,
// 0 to stop the application.
using Q4StfHandler = int (*)(u8* db, const u16* operands, u16 number);

constexpr u16 kQ4StfSlots = 222;
constexpr u16 kQ4StfFatalStop = 135;

// A row of the table: each family of functions declares its rows in its
// own module (a constexpr array k...Rows); the table is assembled from them.
struct Q4StfRow {
    u16 slot;
    Q4StfHandler handler;
};

// The table; an empty slot is a null handler.
extern const std::array<Q4StfHandler, kQ4StfSlots> _STFS;

// The families' rows the table was assembled from, one span per family.
std::span<const std::span<const Q4StfRow>> Q4VMStf_Families();

// call: the words after the call opcode (function number, N, operands).
// Runs the slot's handler; an unknown number, an empty slot or a handler
// that answers 0 logs event 17 with the number (FATALSTOP's 0 logs nothing)
// and answers 0.
int Q4VMStf_Execute(u8* db, const u16* call);

// The handler convention's store rule: 1 when the result at index may be
// written (its class's lock bit is clear in the lock byte of that index).
int Q4VMStf_CanStore(u8* db, u8 lockBit, u16 index);
