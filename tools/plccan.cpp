// plccan: a node of the stand-in CAN bus beside running controllers: puts
// frames on the bus (error frames too) and takes what the others send, as
// text and as a capture file that packet analysers read.
//
//   plccan [--bus PORT] COMMAND [ARGS]
//
// The bus is --bus PORT, else $PLC_CAN_BUS. Frames are written as
// ID#DATA: ID of 3 hex digits is an 11-bit identifier, 8 hex digits the
// 32-bit identifier word with its flag bits (0x80000000 29-bit, 0x40000000
// remote, 0x20000000 error frame with its class bits); ID#R is a remote
// frame; DATA is up to 8 hex byte pairs, optionally separated by dots.
// The exit status is 0 on success, 1 when the bus could not be joined or a
// frame not sent, 2 for a usage error.
#include <poll.h>
#include <sys/time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/canbus.h"
#include "tools/tool_args.h"

namespace {

const char kUsage[] =
    "usage: plccan [--bus PORT] COMMAND [ARGS]\n"
    "  send FRAME...                      put the frames on the bus, in order\n"
    "  dump COUNT GUARD_MS [PCAP_FILE]    print frames as they come until COUNT were seen\n"
    "                                     or GUARD_MS passed; also write them to a capture\n"
    "                                     file (link type SocketCAN)\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseFrame(const char* text, CanFrame* f) {
    *f = CanFrame{};
    const char* hash = std::strchr(text, '#');
    if (!hash) return false;
    size_t idDigits = static_cast<size_t>(hash - text);
    if (idDigits != 3 && idDigits != 8) return false;
    u32 id = 0;
    for (size_t i = 0; i < idDigits; ++i) {
        int d = HexDigit(text[i]);
        if (d < 0) return false;
        id = id << 4 | static_cast<u32>(d);
    }
    if (idDigits == 3 && id > kCanSffMask) return false;
    f->idWord = id;
    const char* p = hash + 1;
    if (*p == 'R' && p[1] == '\0') {
        f->idWord |= kCanRtrFlag;
        return true;
    }
    while (*p) {
        if (*p == '.') {
            ++p;
            continue;
        }
        int hi = HexDigit(p[0]), lo = hi < 0 ? -1 : HexDigit(p[1]);
        if (hi < 0 || lo < 0 || f->length >= 8) return false;
        f->data[f->length++] = static_cast<u8>(hi << 4 | lo);
        p += 2;
    }
    return true;
}

void PrintFrame(const CanFrame& f) {
    if (f.idWord & (kCanEffFlag | kCanErrFlag)) {
        std::printf("%08X#", f.idWord & ~kCanRtrFlag);
    } else {
        std::printf("%03X#", f.idWord & kCanSffMask);
    }
    if (f.idWord & kCanRtrFlag) {
        std::printf("R");
    } else {
        for (int i = 0; i < (f.length > 8 ? 8 : f.length); ++i) std::printf("%02X", f.data[i]);
    }
    std::printf("\n");
    std::fflush(stdout);
}

// Capture file: pcap with link type 227, whose frames carry the identifier
// word big-endian.
void PutU32(FILE* out, u32 v) { std::fwrite(&v, 4, 1, out); }
void PutU16(FILE* out, u16 v) { std::fwrite(&v, 2, 1, out); }

FILE* OpenCapture(const char* path) {
    FILE* out = std::fopen(path, "wb");
    if (!out) return nullptr;
    PutU32(out, 0xA1B2C3D4);
    PutU16(out, 2);
    PutU16(out, 4);
    PutU32(out, 0);
    PutU32(out, 0);
    PutU32(out, 65535);
    PutU32(out, 227);
    return out;
}

void Capture(FILE* out, const CanFrame& f) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    PutU32(out, static_cast<u32>(tv.tv_sec));
    PutU32(out, static_cast<u32>(tv.tv_usec));
    PutU32(out, kCanFrameBytes);
    PutU32(out, kCanFrameBytes);
    u8 rec[kCanFrameBytes];
    CanFrame_Pack(f, rec);
    PutBe32(rec, f.idWord);
    std::fwrite(rec, 1, sizeof rec, out);
    std::fflush(out);
}

int Send(const CanBusSeat& seat, int argc, char** argv) {
    if (argc < 1) return Usage();
    for (int i = 0; i < argc; ++i) {
        CanFrame f;
        if (!ParseFrame(argv[i], &f)) {
            std::fprintf(stderr, "plccan: not a frame: %s\n", argv[i]);
            return 2;
        }
        u8 raw[kCanFrameBytes];
        CanFrame_Pack(f, raw);
        if (CanBus_Send(seat, raw) != kCanFrameBytes) return 1;
    }
    return 0;
}

int Dump(const CanBusSeat& seat, int argc, char** argv) {
    u32 count = 0, guardMs = 0;
    if (argc < 2 || argc > 3 || !ParseU32(argv[0], &count) || !ParseU32(argv[1], &guardMs)) return Usage();
    FILE* capture = nullptr;
    if (argc == 3 && !(capture = OpenCapture(argv[2]))) {
        std::perror(argv[2]);
        return 1;
    }
    // Tells a waiting test that the seat is taken and frames will be seen.
    std::printf("ready\n");
    std::fflush(stdout);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(guardMs);
    u32 seen = 0;
    while (seen < count && std::chrono::steady_clock::now() < end) {
        pollfd p{seat.fd, POLLIN, 0};
        poll(&p, 1, 50);
        u8 raw[kCanFrameBytes];
        while (seen < count && CanBus_Receive(seat, raw) == kCanFrameBytes) {
            CanFrame f = CanFrame_Unpack(raw);
            PrintFrame(f);
            if (capture) Capture(capture, f);
            ++seen;
        }
    }
    if (capture) std::fclose(capture);
    return seen >= count ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    int i = 1;
    int bus = 0;
    if (argc > 2 && std::strcmp(argv[1], "--bus") == 0) {
        u32 v = 0;
        if (!ParseU32(argv[2], &v)) return Usage();
        bus = static_cast<int>(v);
        i = 3;
    } else {
        bus = CanBus_FromEnvironment();
    }
    if (i >= argc) return Usage();
    CanBusSeat seat;
    if (!CanBus_Join(bus, &seat)) {
        std::perror("plccan: bus");
        return 1;
    }
    int rc = 2;
    if (std::strcmp(argv[i], "send") == 0) {
        rc = Send(seat, argc - i - 1, argv + i + 1);
    } else if (std::strcmp(argv[i], "dump") == 0) {
        rc = Dump(seat, argc - i - 1, argv + i + 1);
    } else {
        rc = Usage();
    }
    CanBus_Leave(&seat);
    return rc;
}
