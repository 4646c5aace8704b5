// Standard functions of the files and sockets family, and the family's rows
// of the standard-function table.
//
// Every file and socket the application opens is recorded in the database's
// resource list: a handle the program gives back is accepted only while its
// entry is open, and whatever is still open is closed when the application
// stops. A file handle is the number of its resource entry (never a stream
// address); a socket handle is its descriptor. Names are firmware paths: a
// relative name lands in the runtime's folder, an absolute one below the
// controller's root, and ".." never climbs out of the root.
//
// Nothing here waits: sockets are non-blocking and polled, a receive with
// nothing pending answers 0. Sends never reach past the current text of a
// STRING, and bytes from a peer are the application's data whatever they
// begin with (only the workbench link watches for the programming protocol).
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmstd.h"

// Smallest ADDR array of the UDP functions: one IPv4 socket address.
constexpr u32 kQ4UdpAddrBytes = 16;

int Q4Stf_FROpen(u8* db, const u16* ops, u16 number);
int Q4Stf_FWOpen(u8* db, const u16* ops, u16 number);
int Q4Stf_FAOpen(u8* db, const u16* ops, u16 number);
int Q4Stf_FClose(u8* db, const u16* ops, u16 number);
int Q4Stf_FIsReady(u8* db, const u16* ops, u16 number);
int Q4Stf_FEof(u8* db, const u16* ops, u16 number);
int Q4Stf_FFlush(u8* db, const u16* ops, u16 number);
int Q4Stf_FSeek(u8* db, const u16* ops, u16 number);
int Q4Stf_FARead(u8* db, const u16* ops, u16 number);
int Q4Stf_FAWrite(u8* db, const u16* ops, u16 number);
int Q4Stf_FMRead(u8* db, const u16* ops, u16 number);
int Q4Stf_FMWrite(u8* db, const u16* ops, u16 number);
int Q4Stf_FBRead(u8* db, const u16* ops, u16 number);
int Q4Stf_FBWrite(u8* db, const u16* ops, u16 number);
int Q4Stf_FRRead(u8* db, const u16* ops, u16 number);
int Q4Stf_FRWrite(u8* db, const u16* ops, u16 number);
int Q4Stf_FExist(u8* db, const u16* ops, u16 number);
int Q4Stf_FGetSize(u8* db, const u16* ops, u16 number);
int Q4Stf_FCopy(u8* db, const u16* ops, u16 number);
int Q4Stf_FDelete(u8* db, const u16* ops, u16 number);
int Q4Stf_FRename(u8* db, const u16* ops, u16 number);
int Q4Stf_SetCsvOpt(u8* db, const u16* ops, u16 number);

int Q4Stf_TcpListen(u8* db, const u16* ops, u16 number);
int Q4Stf_TcpAccept(u8* db, const u16* ops, u16 number);
int Q4Stf_TcpConnect(u8* db, const u16* ops, u16 number);
int Q4Stf_TcpIsConnected(u8* db, const u16* ops, u16 number);
int Q4Stf_TcpIsValid(u8* db, const u16* ops, u16 number);
int Q4Stf_TcpClose(u8* db, const u16* ops, u16 number);
int Q4Stf_TcpSend(u8* db, const u16* ops, u16 number);
int Q4Stf_TcpReceive(u8* db, const u16* ops, u16 number);
int Q4Stf_TcpSendArray(u8* db, const u16* ops, u16 number);
int Q4Stf_TcpRcvArray(u8* db, const u16* ops, u16 number);
int Q4Stf_UdpCreate(u8* db, const u16* ops, u16 number);
int Q4Stf_UdpAddrMake(u8* db, const u16* ops, u16 number);
int Q4Stf_UdpSendTo(u8* db, const u16* ops, u16 number);
int Q4Stf_UdpRcvFrom(u8* db, const u16* ops, u16 number);
int Q4Stf_UdpSendToArray(u8* db, const u16* ops, u16 number);
int Q4Stf_UdpRcvFromArray(u8* db, const u16* ops, u16 number);

inline constexpr Q4StfRow kQ4StfFileRows[] = {
    {14, Q4Stf_UdpSendToArray}, {15, Q4Stf_UdpRcvFromArray}, {16, Q4Stf_FRRead},       {17, Q4Stf_FRWrite},
    {18, Q4Stf_FFlush},         {19, Q4Stf_FSeek},           {70, Q4Stf_FROpen},       {71, Q4Stf_FWOpen},
    {72, Q4Stf_FARead},         {73, Q4Stf_FMRead},          {74, Q4Stf_FAWrite},      {75, Q4Stf_FMWrite},
    {76, Q4Stf_FClose},         {77, Q4Stf_FEof},            {148, Q4Stf_TcpListen},   {149, Q4Stf_TcpAccept},
    {150, Q4Stf_TcpClose},      {151, Q4Stf_TcpSend},        {152, Q4Stf_TcpReceive},  {153, Q4Stf_TcpConnect},
    {154, Q4Stf_TcpIsConnected}, {155, Q4Stf_TcpIsValid},    {172, Q4Stf_FBRead},      {173, Q4Stf_FBWrite},
    {174, Q4Stf_FAOpen},        {178, Q4Stf_FExist},         {179, Q4Stf_FGetSize},    {180, Q4Stf_FCopy},
    {181, Q4Stf_FDelete},       {182, Q4Stf_FRename},        {183, Q4Stf_UdpCreate},   {184, Q4Stf_UdpAddrMake},
    {185, Q4Stf_UdpSendTo},     {186, Q4Stf_UdpRcvFrom},     {197, Q4Stf_FIsReady},    {198, Q4Stf_SetCsvOpt},
    {214, Q4Stf_TcpSendArray},  {215, Q4Stf_TcpRcvArray},
};
