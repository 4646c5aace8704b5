// A scripted host of the programming link over TCP: wraps frames of the
// programming protocol (built by LinkHost::Frame) in the 28-byte packet
// header, runs the session handshake, downloads in long frames and reads
// gathered uploads.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/bytes.h"

struct TovraPacket {
    u8 header[28] = {};
    std::vector<u8> data;
    bool received = false;  // false: time-out or connection closed
    u32 Key() const { return GetLe32(header); }
    u16 Version() const { return GetLe16(header + 4); }
    u16 Status() const { return GetLe16(header + 10); }
    u16 Length() const { return GetLe16(header + 26); }
    // A single-byte answer (-1 when the packet is not one).
    int Single() const { return data.size() == 1 ? data[0] : -1; }
};

class TovraHost {
public:
    // pump runs while waiting (an in-process test steps the controller there).
    explicit TovraHost(u8 seed = 0, std::function<void()> pump = {}) : seed_(seed), pump_(std::move(pump)) {}
    ~TovraHost();
    TovraHost(const TovraHost&) = delete;
    TovraHost& operator=(const TovraHost&) = delete;

    bool Connect(int port);
    void Close();
    int Fd() const { return fd_; }
    void SetVersion(u16 v) { version_ = v; }
    // True once the controller closed the connection.
    bool PeerClosed(int timeoutMs);

    // One packet; length overrides the header's data length when >= 0.
    bool Send(u16 type, const std::vector<u8>& data, u32 key = 0, int length = -1);
    bool SendBytes(const std::vector<u8>& bytes);
    TovraPacket Read(int timeoutMs = 5000);

    // Challenge and answer; the status of the answer's reply (-1: none).
    int Handshake();
    // The answer to a challenge reply's key.
    static u32 AnswerOf(u32 challengeKey);

    // A frame of the programming protocol as one data packet, and its reply.
    TovraPacket Request(u8 command, const std::vector<u8>& data, int timeoutMs = 5000);
    int Ask(u8 command, const std::vector<u8>& data, int timeoutMs = 5000) {
        return Request(command, data, timeoutMs).Single();
    }
    // Frame contents of a reply packet: data of a short or gathered frame
    // (0xFF, a byte, data, checksum); false when it is not a good frame.
    bool FrameData(const TovraPacket& p, std::vector<u8>* out) const;

    // Download in long frames of `chunk` data bytes; the last answer byte
    // (0xA0 when all was taken), -1 on a time-out.
    int Download(u8 node, u8 area, const std::vector<u8>& image, u32 chunk);
    // Upload acknowledging every packet; packets counts the data packets.
    bool Upload(u8 node, u8 area, std::vector<u8>* out, std::vector<u32>* packetSizes = nullptr);

private:
    int fd_ = -1;
    u8 seed_;
    u16 version_ = 2;
    std::function<void()> pump_;
    std::vector<u8> in_;  // bytes received, not yet a whole packet
};
