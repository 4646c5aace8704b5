// A test client of the controller's SRTP server: builds request messages
// byte by byte (56-byte header, little-endian fields, then the text), splits
// answers out of a byte stream and talks to the server over a TCP
// connection. It keeps its own byte layout, apart from the server's codec,
// so that a fault of the codec shows.
#pragma once

#include <string>
#include <vector>

#include "platform/bytes.h"

struct SrtpRequest {
    u8 type = 2;          // 0 connect, 2 service, 8 session
    u16 sequence = 0;
    u8 service = 0;
    u8 selector = 0;      // or the privilege level of service 33
    u16 offset = 0;
    u16 length = 0;
    u8 kind = 0;          // write kind: 0xC0 data in the header, 0x80/0x93 in the text, 0xD7 none
    u8 byte30 = 0;
    u32 word32 = 0, word36 = 0;
    bool paramsAt50 = false;  // service parameters at byte 50 instead of 42
    u8 headerData[8] = {};    // bytes 48-55 of a write of kind 0xC0
    std::vector<u8> text;
    u32 textLength = ~0u;     // written at byte 4 instead of the text's size when not ~0u
};

struct SrtpReply {
    std::vector<u8> header;  // 56 bytes
    std::vector<u8> text;
    u8 Type() const { return header[0]; }
    u16 Sequence() const { return GetLe16(&header[2]); }
    u32 TextLength() const { return GetLe32(&header[4]); }
    u8 Kind() const { return header[31]; }
    u8 Priv() const { return header[51]; }
    u16 Status() const { return GetLe16(&header[54]); }
};

std::vector<u8> SrtpEncode(const SrtpRequest& r);
// Convenience builders.
SrtpRequest SrtpRead(u16 sequence, u8 selector, u16 offset, u16 length);
SrtpRequest SrtpWrite(u16 sequence, u8 selector, u16 offset, u16 length, const std::vector<u8>& text);
// Splits the first whole answer off the front of bytes; false when bytes do
// not yet hold one.
bool SrtpTakeReply(std::vector<u8>& bytes, SrtpReply* out);

class SrtpClient {
public:
    SrtpClient() = default;
    ~SrtpClient();
    SrtpClient(const SrtpClient&) = delete;
    SrtpClient& operator=(const SrtpClient&) = delete;

    bool Connect(int port);  // 127.0.0.1
    void Adopt(int fd);      // a connection made elsewhere (inside a namespace)
    void Close();
    int Fd() const { return fd_; }
    bool SendRaw(const std::vector<u8>& bytes);
    bool Send(const SrtpRequest& r) { return SendRaw(SrtpEncode(r)); }
    // The next answer; false after timeoutMs without a whole one.
    bool Read(SrtpReply* out, int timeoutMs = 5000);
    // A request and its answer.
    bool Ask(const SrtpRequest& r, SrtpReply* out, int timeoutMs = 5000) { return Send(r) && Read(out, timeoutMs); }
    // Connect request (type 1 back) and session request (answer 0xD4).
    bool Handshake(int timeoutMs = 5000);
    // Bytes received after the last whole answer.
    size_t Leftover() const { return buffer_.size(); }

private:
    int fd_ = -1;
    std::vector<u8> buffer_;
};
