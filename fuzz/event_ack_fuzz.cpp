// The event server fed acknowledgements as a client sends them: any bytes,
// in chunks, between event frames, with events queued of every kind and size
// and time passing. Reassembly, masks, frame sizes and the queues must stay
// inside their buffers, and every frame sent must parse.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "iec/ext/q4evs.h"
#include "testsupport/fuzz_env.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// Reads what the server sent and checks each frame's structure.
void Frames(int fd, std::vector<u8>& in) {
    u8 b[2048];
    ssize_t n;
    while ((n = recv(fd, b, sizeof b, MSG_DONTWAIT)) > 0) in.insert(in.end(), b, b + n);
    while (in.size() >= 4) {
        Check(in[0] == 'Q' && in[1] == '4');
        const size_t total = GetBe16(&in[2]) + 4u;
        Check(total <= kQ4EvsFrameBytes);
        if (in.size() < total) return;
        size_t at = 6;
        for (u8 k = 0; k < in[5]; ++k) {
            Check(at + 12 <= total);
            at += 12u + in[at + 2];
        }
        Check(at == total);
        in.erase(in.begin(), in.begin() + static_cast<long>(total));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("plc_event_ack_fuzz_");
    if (size < 1) return 0;
    static std::vector<u8> block;
    static Q4EvsServer* server = nullptr;
    Q4EvsSettings settings;
    settings.capacity[0] = 200;
    settings.capacity[1] = 0;
    settings.capacity[2] = 300;
    settings.capacity[3] = 400;
    if (!server) {
        block.assign(Q4Evs_GetMemorySize(&settings), 0);
        server = reinterpret_cast<Q4EvsServer*>(block.data());
    }
    // A listener is not needed: the client's socket is handed in directly.
    *server = Q4EvsServer{};
    server->clientSize = Q4Evs1_GetMemorySize(&settings);
    server->listener = -1;
    int sp[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sp) != 0) return 0;
    Q4EvsClient* c = reinterpret_cast<Q4EvsClient*>(block.data() + ((sizeof(Q4EvsServer) + 7) & ~size_t{7}));
    u8* storage = reinterpret_cast<u8*>(c) + ((sizeof(Q4EvsClient) + 7) & ~size_t{7});
    *c = Q4EvsClient{};
    for (u32 q = 0; q < kQ4EvsQueues; ++q) {
        Q4Evsq_Init(&c->queues[q], settings.capacity[q], 0, storage);
        storage += (settings.capacity[q] + 7) & ~7u;
    }
    c->socket = sp[0];
    c->slot = 1;
    server->listener = 0x7FFFFFFF;  // stepped as if listening; accepts find nothing
    std::vector<u8> in;
    u32 now = 1000;
    static u8 text[255];
    for (size_t at = 0; at < size;) {
        const u8 op = data[at++];
        size_t chunk = op & 0x3F;
        if (chunk > size - at) chunk = size - at;
        if (op & 0x40) {
            if (chunk && write(sp[1], data + at, chunk) < 0) break;
        } else {
            static const u8 kKinds[] = {1, 2, 4, 132, 8, 3};
            for (size_t k = 0; k < chunk; ++k) text[k] = data[at + k];
            Q4Evs1_EventDT(c, kKinds[op % 6], static_cast<u8>(op * 7), static_cast<u32>(chunk * 4 % 256), text,
                           1, 2);
        }
        at += chunk;
        now += (op & 0x80) ? 2500 : 10;
        Q4Evs_Activate(server, now);
        Frames(sp[1], in);
        for (const Q4EvsQueue& q : c->queues) Check(q.readPos <= q.length && q.length <= q.capacity);
        if (c->socket < 0) break;
    }
    server->listener = -1;
    if (c->socket >= 0) close(c->socket);
    c->socket = -1;
    close(sp[1]);
    return 0;
}
