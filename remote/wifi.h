// Wi-Fi control: runs the USB Wi-Fi adapter as access point (uap0) or
// station (mlan0) through the Wi-Fi script, which is sent one-line commands
// through the master-script pipe and leaves an access-point status file.
// Settings come from the downloaded Wi-Fi record (I/O configuration record
// 0xEF02) or from registers it names. Access-point credentials are
// validated (invalid ones are replaced by the defaults and written back),
// the access point's start is supervised and retried, the station's link
// quality is classed and its lease renewed, and a status word reports it
// all.
//
// Every text that comes from the record or from registers is passed to the
// script single-quoted, so the shell takes it literally. A station SSID or
// pass phrase holding a control character is refused: the station is not
// started (the radio goes off) and status bit 4 (SSID) or 5 (pass phrase)
// says which, as for the access point.
//
// Signal classes: level >= -29 dBm excellent, -67..-30 good, -80..-68 fair,
// below -80 poor.
#pragma once

#include <atomic>

#include "platform/bytes.h"

constexpr u16 kWifiRecordId = 0xEF02;
constexpr u32 kWifiConfBytes = 221;
// Offsets of the Wi-Fi record.
constexpr u32 kWcSource = 0, kWcCountrySel = 2, kWcApOption = 3, kWcMode = 4, kWcSecurity = 5, kWcStOption = 6,
              kWcChannel = 7, kWcModeReg = 9, kWcApSsidReg = 13, kWcApPassReg = 17, kWcSecurityReg = 21,
              kWcChannelReg = 25, kWcStSsidReg = 29, kWcStPassReg = 33, kWcStOptionReg = 37, kWcStatusReg = 41,
              kWcApSsid = 45, kWcApPass = 77, kWcStSsid = 109, kWcStPass = 141, kWcCountry = 173,
              kWcUpdateReg = 205;
// Source flags: the setting comes from its register.
constexpr u16 kWsMode = 0x01, kWsApSsid = 0x02, kWsApPass = 0x04, kWsSecurity = 0x08, kWsChannel = 0x10,
              kWsStSsid = 0x20, kWsStPass = 0x40, kWsStOption = 0x80, kWsStFlag = 0x100;

// Status word bits.
constexpr u16 kWifiPresent = 0x0001, kWifiApUp = 0x0002, kWifiStConnected = 0x0004, kWifiSsidInvalid = 0x0010,
              kWifiPassInvalid = 0x0020, kWifiDefaults = 0x0040;
constexpr u16 kWifiClassExcellent = 4, kWifiClassGood = 3, kWifiClassFair = 2, kWifiClassPoor = 1;

// Files and commands.
constexpr const char* kWifiScript = "/opt/varnok/wifi/wifi.sh";
constexpr const char* kWifiApStatus = "/opt/varnok/wifi/wifi_ap.sts";
constexpr const char* kWifiRenewLine = "/root/bin/renew_udhcpc.sh\n";
constexpr const char* kWifiVendorPath = "/sys/devices/platform/fsl-ehci.0/usb2/2-1/idVendor";
constexpr const char* kWifiProductPath = "/sys/devices/platform/fsl-ehci.0/usb2/2-1/idProduct";
constexpr const char* kWifiDefaultCredential = "MirtelZQA";
constexpr u32 kWifiDefaultApAddress = 0xC0A8FE80;  // 192.168.254.128

// Delays in 100-us ticks.
constexpr u32 kWifiPresenceTicks = 10000, kWifiApPollTicks = 20000, kWifiApTimeoutTicks = 200000,
              kWifiStationTicks = 100000, kWifiOffTicks = 30000, kWifiLinkTicks = 50000;

// States of WiFi_Scan.
constexpr u32 kWifiRead = 0, kWifiAp = 1, kWifiStation = 3, kWifiOff = 4, kWifiMonitor = 7;
// Requested modes.
constexpr u8 kWifiModeOff = 0, kWifiModeAp = 1, kWifiModeStation = 2, kWifiModeReread = 3;

struct WifiTimer {
    u32 start = 0;
    u8 running = 0;
};

// The Wi-Fi control record (wifiCntFlw). The Ethernet main step reads
// mode, present, initialised and apStarting, and sets initialised.
struct WifiControl {
    u32 state;
    u8 lastRadioMode;   // 1 or 2
    u8 prevPresent;
    u8 configChanged;
    u8 applied;         // the requested mode the last command was sent for; 4 after start-up
    u8 initialised;     // the Wi-Fi interfaces' services were set up
    u8 firstRead;
    u8 retry;
    u8 apUp;
    u8 stConnected;
    u8 apStarting;      // an access-point start is in progress
    u8 macKnown;
    int querySocket;
    char ifName[16];
    u8 mode;            // requested: 0 off, 1 access point, 2 station, 3 read the settings again
    u8 present;         // adapter present
    u8 macRead;
    char mac[32];
    char apSsid[32];
    char apPass[32];
    u8 apSecurity;
    u8 apChannel;
    char country[3];
    u8 apOption;
    u32 apAddress;
    char stSsid[36];
    char stPass[36];
    u8 stOption;
    u8 stFlag;
    u8 renewNeeded;
    u8 stState;         // 0 none, 1 connected, 2 connecting, 3 disconnected
    i8 level;           // dBm
    u32 stAddress;
};
extern WifiControl wifiCntFlw;

// Set here when the station got a new address (2) or the access point came
// up (3); the Ethernet main step restarts the interface's services and
// clears them.
extern u8 IpAddr2Change, IpAddr3Change;

void WiFi_Init(WifiControl* control);
int WiFi_Scan(WifiControl* control);

// Copies the first Wi-Fi record of the I/O configuration into the record
// copy; 0 when the chain ended without one (the copy keeps its contents).
int wifiConfigDownload();
// Reads the adapter's USB identifiers; answers and records its presence.
int wifiHwStatus(WifiControl* control);
void getMacAddress(WifiControl* control);
// Writes one command line of the requested mode to the master-script pipe.
void sendCmdToMscript(WifiControl* control, u8 mode);
void setWifiStatusReg(u32 bitOffset, u32 value, int width);
// flag 0 starts the timer; flag 1 answers 1 (and stops it) once more than
// ticks have passed.
int nonBlkDelay(WifiTimer* timer, u32 ticks, int flag);
void getIpString(u32 address, char* text);

// The record copy in force and the status word (tests).
const u8* Wifi_Conf();
u16 Wifi_StatusWord();
u16 Wifi_ApFailures();
// Text argument for the script: single-quoted, embedded quotes escaped.
void Wifi_Quote(const char* text, char* out, u32 capacity);
// Access-point SSID and pass-phrase rules: 1 valid.
int Wifi_ValidSsid(const char* text);
int Wifi_ValidPass(const char* text);
// Signal class of a level in dBm.
u16 Wifi_SignalClass(int level);
void Wifi_Reset();
