// The simple file mailboxes of the data logger and the debug log: one
// request at a time (make a folder, open, write, close) placed in the
// mailbox block by flipping the request toggle; the system update step hands
// it to the media manager and answers by setting the acknowledge toggle.
//
// The data logger and the debug log each have a mailbox of their own, so
// neither can ever read the other's result.
//
// Layout at the mailbox's offset: byte request toggle, byte acknowledge
// toggle, byte command, byte argument (drive), i32 result (low 16 bits
// read), then four native-width argument words.
#pragma once

#include "platform/bytes.h"
#include "platform/fx_api.h"

// Commands.
constexpr u8 kLogMbStatus = 0, kLogMbFreeSpace = 1, kLogMbMakeDir = 2, kLogMbOpen = 3, kLogMbWrite = 4,
             kLogMbClose = 5;
// Open modes.
constexpr u32 kLogOpenAppend = 1, kLogOpenCreate = 8;

// Each posting call answers -2 when posted and -3 when a request is still
// pending (nothing posted). `mailbox` is the mailbox's offset in dpram.
i32 LogMb_MakeDir(u32 mailbox, u8 argument, const char* path);
i32 LogMb_Open(u32 mailbox, FxFile* file, const char* path, u32 mode);
i32 LogMb_Write(u32 mailbox, FxFile* file, const void* data, u32 length, u32* countOut);
i32 LogMb_Close(u32 mailbox, FxFile* file);
// The answer once acknowledged; while pending -2, or the card's status from
// SR175 when the card is not ready.
i32 LogMb_Result(u32 mailbox);
// 0 when drive A: is ready, else the card status SR175.
i32 LogMb_GetStatus();
// 0; total and free kilobytes of the card from SR178-SR179 and SR176-SR177.
i32 LogMb_GetFreeSpace(u32 ignored, u32* totalKb, u32* freeKb);
// Percentage of the card in use, (total - free) / ((total + 50) / 100);
// 0 for a card smaller than 50 kB or without a size.
u16 LogMb_PercentUsed();

// The data logger's mailbox.
i32 CFDL_MakeDir(u8 argument, const char* path);
i32 CFDL_Open(FxFile* file, const char* path, u32 mode);
i32 CFDL_Write(FxFile* file, const void* data, u32 length, u32* countOut);
i32 CFDL_Close(FxFile* file);
i32 CFDL_Result();
i32 CFDL_GetStatus();
i32 CFDL_GetFreeSpace(u32 ignored, u32* totalKb, u32* freeKb);

// The debug log's mailbox.
i32 CFDBGL_MakeDir(u8 argument, const char* path);
i32 CFDBGL_Open(FxFile* file, const char* path, u32 mode);
i32 CFDBGL_Write(FxFile* file, const void* data, u32 length, u32* countOut);
i32 CFDBGL_Close(FxFile* file);
i32 CFDBGL_Result();
i32 CFDBGL_GetStatus();
i32 CFDBGL_GetFreeSpace(u32 ignored, u32* totalKb, u32* freeKb);
