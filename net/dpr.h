// Ethernet configuration: one settings record per interface, built from the
// network configuration stream that the programming software downloads
// inside the I/O configuration block; the 64 KB exchange block with the
// register-services run flag; and the register moves every Ethernet service
// uses.
#pragma once

#include "platform/bytes.h"

constexpr int kEnetPorts = 4;  // 0 eth0, 1 eth1, 2 mlan0, 3 uap0
constexpr u32 kEgdExchanges = 128;
constexpr u32 kEgdItemPairs = 99;
constexpr u32 kEnetTextField = 41;  // 40 characters and the NUL

struct EgdExchange {
    u32 head[5];                   // flags, identifier, address, period or group, time-out
    u32 items[kEgdItemPairs][2];   // register, descriptor
};
static_assert(sizeof(EgdExchange) == 812);

struct EnetServiceFlags {
    u8 service;  // 0 SRTP, 1 Modbus, 2 EGD, 3 ping, 4 EtherNet/IP, 5 FTP users, 6 register web, 7 static
    u8 address;  // 0 ASCII, 1 node id, 2 mask/gw regs named, 3-5 IP/mask/gw from register, 6 no stream, 7 Modbus port
    u8 dns;      // 0 clock set (NTP inactive), 1 DNS configured, 2 DNS from register, 3 DHCP
};

struct EnetFtpUser {
    char name[kEnetTextField];
    char password[kEnetTextField];
    u8 access;
};

struct ModbusSettings {
    u32 inhibit;
    u32 inUse;
    u16 transport;  // 0 TCP, otherwise UDP
    u16 port;
};

struct ModbusIecSettings {
    ModbusSettings set;
    u32 base[4];   // holding, input, coils, discrete inputs
    u32 count[4];
};

struct EnetPortConfigTail {
    EnetFtpUser ftp[2];
    char webUser[kEnetTextField];
    char webPassword[kEnetTextField];
    ModbusIecSettings modbusIec;
    ModbusSettings modbus;
    u32 ascii[6];  // port-from-register flag, port, transmit, trigger, receive, status
    char ntp[10][96];
    u32 egdStatusCount;
    u32 srtpCount, srtpBase;
};

struct EnetPortConfig {
    u32 streamLength;
    u32 ip, mask, gateway, dns;
    u32 pingTimeout, pingTarget, pingResult;
    u32 versionReg, statusReg, ipReg, maskReg, gatewayReg, dnsReg;
    u8 dhcp;
    EnetServiceFlags flags;
    EgdExchange egd[kEgdExchanges];
    u32 eip[6];  // produced reg/len, consumed reg/len, status reg/len
    EnetPortConfigTail tail;
};

// Service bits.
constexpr u8 kSvcSrtp = 0x01, kSvcModbus = 0x02, kSvcEgd = 0x04, kSvcPing = 0x08, kSvcEip = 0x10, kSvcFtp = 0x20,
             kSvcWeb = 0x40, kSvcStatic = 0x80;
constexpr u8 kAddrAscii = 0x01, kAddrNodeId = 0x02, kAddrRegsNamed = 0x04, kAddrIpReg = 0x08, kAddrMaskReg = 0x10,
             kAddrGwReg = 0x20, kAddrNoStream = 0x40, kAddrModbusPort = 0x80;
constexpr u8 kDnsClockSet = 0x01, kDnsConfigured = 0x02, kDnsReg = 0x04, kDnsDhcp = 0x08;

extern EnetPortConfig Dpr_Configuration[kEnetPorts];

// The exchange block and its fields.
constexpr u32 kDprMapBytes = 65536;
constexpr u32 kDprSemaphore = 15, kDprRunFlag = 32, kDprGenAnnounced = 34, kDprGenTaken = 36, kDprClock = 48,
              kDprNodeId = 60, kDprEgdStatusCount = 78, kDprStats = 92, kDprQueues = 49408, kDprStatusTable = 60888,
              kDprStatusTableEnd = 64984;
constexpr u32 kDprStatusEntries = (kDprStatusTableEnd - kDprStatusTable) / 8;  // 512
extern u8 DprMap[kDprMapBytes];
// Address of the status request table inside DprMap.
extern u8* const DprStatusWrReqs;

extern u32 T_token, M_token;
extern u8 NTP_Enabled;
// Data of the I/O configuration record of the Ethernet module (the third
// slot's record), or null; refreshed from the I/O configuration block.
extern const u8* EtnConfp;

// Address backup of one interface, kept in the network settings image
// (/mnt/cfg/enetaddr.dta, 4 records).
struct EnetAddressBackup {
    u32 unused, marker, ip, mask, gateway, dns;
};
constexpr u32 kEnetBackupMarker = 0x12345678;
constexpr u32 kEnetBackupBytes = 24;
constexpr const char* kEnetBackupPath = "/mnt/cfg/enetaddr.dta";
void Dpr_ReadBackup(int port, EnetAddressBackup* out);
void Dpr_WriteBackup(int port, const EnetAddressBackup& in);

void Dpr_Init();
void Dpr_Config();
// 0 parsed, 1 no stream for this interface (record unchanged).
int DprParseConfig(int port);
void Dpr_Io_Service();

// Direction 0 reads registers into the buffer, otherwise writes. Mode 0: the
// buffer is an image of the bytes holding the bits; mode 1: bits packed from
// bit 0 of the buffer. Returns 1 when moved, 0 when the range is not in the
// register memory (nothing moved).
int Dpr_Data_Block(u32 reg, u16 bits, u8* buffer, int direction, u8 mode);
struct DprRequest {
    u32 reg;
    u32 bits;
};
// 0 valid, 1 invalid.
int EtnValidateReq(const DprRequest* request);
void Dpr_Set_W_Data(u32 reg, u32 value);
void Dpr_Set_Dw_Data(u32 reg, u32 value);
u32 Dpr_Get_Dw_Data(u32 reg);
void Dpr_Set_Egd_Status(u16 value, u32 index);
int Dpr_Add_Req(const void* request, u32, u32, u32);
int Dpr_Chk_Rd_Pending();
void DprSetSemaphore();
void DprClearSemaphore();
void Dpr_StrCrypt(char* out, const u8* in, u32 n);

// 1 while an IEC application is loaded with its variables enumerated.
bool Dpr_IecActive();
// Number of entries of the status request table (tests).
u32 Dpr_StatusCount();
// Forgets all state (tests).
void Dpr_Reset();
