// The workbench server's framing fed as a client feeds it: a TCP stream or
// the serial link, cut into chunks anywhere, with answers of any length owed
// across passes. Frame assembly, the RTU length guesses, the accessors and
// the file transfer must never read or write outside the slot's buffers.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "iec/ext/q4cs.h"
#include "iec/ext/q4cssock.h"
#include "iec/kernel/q4host.h"
#include "testsupport/fuzz_env.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// Serves what the runtime would, with answers of the sizes the input asks for.
void Serve(Q4CSContext& cs, u8 answer) {
    u16 slot = 0;
    for (int k = 0; k < 4; ++k) {
        int code = Q4CS_GetQuestion(&cs, &slot);
        if (code == 0) return;
        Check(slot >= 1 && slot <= kQ4CSSlots);
        Q4LoadRequest load;
        Q4StartRequest start;
        u32 length = 0;
        const u8* frame = Q4CS_GetRequestFrame(&cs, slot, &length);
        Check(frame != nullptr && length <= kQ4CSBufferBytes);
        if (Q4CS_GetLoadInfo(&cs, slot, &load)) {
            // A block carries its length of data; the start and the end only
            // announce a total, which may be anything.
            Check(load.data >= frame && load.data <= frame + length);
            if (code == 3) Check(load.length <= static_cast<u32>(frame + length - load.data));
            Check(reinterpret_cast<const u8*>(load.name) >= frame && reinterpret_cast<const u8*>(load.name) < frame + length);
        }
        if (Q4CS_GetStartInfo(&cs, slot, &start)) Check(start.name != nullptr);
        if (u8* vm = Q4CS_GetVMAnswerBuffer(&cs, slot)) {
            Check(Q4CS_GetVMRequestLength(&cs, slot) <= length);
            vm[0] = answer;
            Q4CS_SendVMAnswer(&cs, slot, answer * 5u);
        } else {
            Q4CS_SendRC(&cs, slot, answer);
        }
        Q4CS_ReleaseQuestion(&cs, slot);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("plc_workbench_fuzz_");
    if (size < 2) return 0;
    static Q4CSContext cs;
    Q4CS_Close(&cs);
    Q4CSSettings none;
    Q4CS_Open(&cs, &none);
    int sp[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sp) != 0) return 0;
    const bool serial = data[0] & 1;
    if (serial) {
        Q4CSSlot& s = cs.slots[0];
        s.number = 1;
        s.flags = kQ4CSUsed | kQ4CSSerial;
        s.serial = sp[0];
    } else {
        Check(Q4CSSock_Take(&cs, sp[0]) == 0);
    }
    const u8 answer = data[1];
    size_t at = 2;
    while (at < size) {
        size_t chunk = 1 + data[at] % 64;
        ++at;
        if (chunk > size - at) chunk = size - at;
        if (chunk && write(sp[1], data + at, chunk) < 0) break;
        at += chunk;
        for (int pass = 0; pass < 3; ++pass) {
            Q4CS_Activate(&cs);
            for (const Q4CSSlot& s : cs.slots) {
                Check(s.received <= kQ4CSBufferBytes && s.expected <= kQ4CSBufferBytes);
                Check(s.toSend <= s.answerLength && s.answerLength <= kQ4CSBufferBytes);
            }
            Serve(cs, answer);
            FuzzEnv_Drain(sp[1]);
        }
    }
    if (serial) cs.slots[0].serial = -1;
    Q4CS_Close(&cs);
    close(sp[1]);
    if (serial) close(sp[0]);
    return 0;
}
