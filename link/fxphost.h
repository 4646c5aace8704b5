// File exchange over the programming link: the PC software manages files on
// the drives A: (card), B: (USB stick) and Z: (internal volume) with FTP-like
// command lines (command 28), sends file data (29) and fetches file or
// listing data (30). FxpMain, once per main-loop pass, executes a newly
// accepted command line and moves file data between the open file and a
// 2048-byte ring.
//
// Command words: mkd, cwd, stor, retr, cdup, rnfr (rename argument 1 to
// argument 2), dele, rmd, list. Results (16-bit, answered by command 28):
// 150 send the data, 200, 250, 257 done, 450 file not available, 452 no
// space, 500 unknown command, 501 invalid argument or path (also a line over
// 511 characters or a word over 255), 550 not found or no access, 611
// failure, 612 a previous line is still pending, 614 already exists, 615 no
// result, 616 directory not restorable, 617 directory not empty, 618 cdup
// at the root, 619 done with a value (file size for retr, listing bytes for
// list), 651 accepted, 653 no transfer running.
//
// Listing lines: type letter (V, D or F), name, size, hh:mm:ss, dd/mm/yy and
// the attribute letters R/r S/s H/h, separated by single spaces, then CR LF.
#pragma once

#include "platform/bytes.h"

constexpr u32 kFxpLineBytes = 512;
constexpr u32 kFxpRingBytes = 2048;

void Fxp_Initialise();
void FxpMain(int step);

// With a line: submits it (-1 accepted, result later; 612 an earlier
// refusal not yet reported). Without (line null): polls (-1 not ready, 615
// nothing to report, else the result code and, for 619, *value).
i32 Fxp_DoParseCommand(const char* line, u32 length, i32* value);
// Appends file data; length 0 marks the end. 651 taken, 611 refused, -1
// try again later.
i32 Fxp_DoWriteData(const u8* data, u32 length);
// Takes file or listing data: the byte count, 0 at the end (the transfer is
// over), -1 nothing yet, 611 read error, 653 no transfer.
i32 Fxp_DoReadData(u8* buffer, u32 maximum);

// Handlers of commands 28-30.
void parse_fxp_cmd();
void write_fxp_data();
void read_fxp_data();

// Transfer state (0 none, 1 sending a file, 2 file sent, 3 receiving, 4
// received, 5 sending a listing, 6 listing sent) and current drive (tests).
int Fxp_TransferState();
