// Modem answers: the reply reader, the reply walks of every script step that
// takes fields out of an answer, the received-data and socket-status readers
// and the external modem's answer lines, fed from a port that hands out the
// input's bytes. No copy may leave its field and no count may pass what came.
//
// Input: byte 0 picks the reader, the rest is what the modem sent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "link/vcomm.h"
#include "remote/at_cmd.h"
#include "remote/gsmgprs.h"
#include "remote/modem.h"
#include "remote/modemsock.h"
#include "testsupport/fuzz_env.h"

namespace {

std::vector<u8> input;
size_t at = 0;

int CheckRx(u32) { return at < input.size() ? 1 : 0; }
int GetRx(u32) { return at < input.size() ? input[at++] : 0; }
int Zero(u32) { return 0; }
int One(u32) { return 1; }
void Nothing(u32) {}
int PutTx(u32, u8 b) { return b; }
int PutnTx(u32, const u8*, u32 n) { return static_cast<int>(n); }
int PutsTx(u32, const char*) { return 0; }
void Enable(u32, int) {}

// The rows whose answers are walked.
const u32 kRows[] = {8, 16, 24, 37, 60, 84, 88, 96, 104, 106, 108, 110, 112, 114, 116};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("at_reply_fuzz");
    if (size == 0) return 0;
    Modem_ResetAll();
    VcommDriver saved = Vcomm_Drv[0];
    VcommDriver& d = Vcomm_Drv[0];
    d.CheckRx = CheckRx;
    d.GetRx = GetRx;
    d.FlushRx = Nothing;
    d.PutTx = PutTx;
    d.PutnTx = PutnTx;
    d.PutsTx = PutsTx;
    d.RtuTx = Nothing;
    d.FlushTx = Nothing;
    d.EmptyTx = One;
    d.GetDCD = Zero;
    d.Enable = Enable;
    input.assign(data + 1, data + size);
    at = 0;
    u8 pick = data[0];

    // Exact-size buffers so that any overrun is seen.
    static char imei[18], number[21], name[17], version[17];
    AtItem item1, item2;
    at_status.port = 0;
    if (pick < 0x80) {
        u32 row = kRows[pick % (sizeof kRows / sizeof kRows[0])];
        at_stack_data[0] = {&item1, nullptr, 0, imei, sizeof imei, nullptr, 0};
        at_stack_data[1] = {&item2, nullptr, 0, number, sizeof number, nullptr, 0};
        at_stack_data[2].buffer = name;
        at_stack_data[2].capacity = sizeof name;
        at_stack_data[3].buffer = version;
        at_stack_data[3].capacity = sizeof version;
        AtParam_Set(4, "TEST NET", 8);
        std::vector<char> reply(pick & 0x40 ? 1600 : 1024);
        at_status.letter = 'x';
        at_status.engineState = kAtWait;
        at_status.reply = reply.data();
        at_status.capacity = static_cast<u16>(reply.size());
        at_status.count = 0;
        at_status.timeout = 1;
        for (int i = 0; i < 4 && at_status.engineState != kAtDone; ++i) AT_Cmd_Handler(&at_cmd[row]);
        const char* end = reply.data() + reply.size();
        for (const AtSlot& s : at_stack_data)
            if (s.field != nullptr && (s.field < reply.data() || s.field + s.fieldRoom > end)) std::abort();
        if (std::strlen(imei) >= sizeof imei || std::strlen(at_status.netCode.text) >= sizeof at_status.netCode.text)
            std::abort();
        // The status list as the modem cycle applies it.
        ModemSocket_ApplyStatusList(item1.text, item1.length);
        for (const ModemSocket& s : socket_info_st)
            if (std::strlen(s.host) >= sizeof s.host || std::strlen(s.peerPort) >= sizeof s.peerPort) std::abort();
    } else {
        GSMGPRSInfo_St.options = static_cast<u8>(pick & 0x40);
        GSMGPRSInfo_St.addressQuery = static_cast<u8>(pick & 0x01);
        GSMGPRSInfo_St.signalExpected = static_cast<u8>((pick >> 1) & 0x01);
        std::strcpy(NWOprtrName, "TEST NET");
        for (int i = 0; i < 64 && at < input.size(); ++i) GSMGetResult(0);
        if (std::strlen(GSMGPRSInfo_St.operatorCode) >= sizeof GSMGPRSInfo_St.operatorCode ||
            std::strlen(GSMGPRSInfo_St.addressText) >= sizeof GSMGPRSInfo_St.addressText)
            std::abort();
    }
    Vcomm_Drv[0] = saved;
    return 0;
}
