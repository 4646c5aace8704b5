// An EtherNet/IP originator for tests of the adapter: builds encapsulation
// messages, CIP requests, Forward Open and Forward Close, and class-1
// datagrams byte by byte, and talks to the adapter over a TCP session and a
// UDP socket. While it waits for an answer it calls the pump it was given
// (an in-process test steps the adapter there; a system test leaves it
// empty), bounded in time.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/bytes.h"

namespace eipo {

using Bytes = std::vector<u8>;

Bytes Encap(u16 command, u32 session, const Bytes& data, u64 context = 0x0102030405060708ull);
// Logical path: 8-bit class and instance, attribute when >= 0.
Bytes Path(u8 cls, u8 instance, int attribute = -1);
// Message router request: service, path size in words, path, data.
Bytes Request(u8 service, const Bytes& path, const Bytes& data = {});
// Data of a SendRRData: interface handle, time-out, null address and
// unconnected data items.
Bytes RRData(const Bytes& cip, u32 interfaceHandle = 0);
// Data of a SendUnitData: connected address and data items.
Bytes UnitData(u32 connectionId, u16 sequence, const Bytes& cip);

struct ForwardOpen {
    u32 otId = 0x11110001, toId = 0x22220001;
    u16 serial = 0x0101, vendor = 0x0203;
    u32 originatorSerial = 0x04050607;
    u8 multiplier = 0;
    u32 otRpi = 10000, toRpi = 10000;  // us
    u16 otParams = 0, toParams = 0;    // network connection parameters
    u8 transport = 0x01;
    Bytes path;
    Bytes Data() const;  // the request data after the router path
};
// Forward Open and Forward Close requests to the connection manager instance 1.
Bytes ForwardOpenRequest(const ForwardOpen& f);
Bytes ForwardCloseRequest(u16 serial, u16 vendor, u32 originatorSerial, const Bytes& path = {});
// Network connection parameters: point-to-point (2) or multicast (1), size.
inline u16 Params(u16 type, u16 size) { return static_cast<u16>((type << 13) | (size & 0x1FF)); }
// An O->T datagram: sequenced address item and connected data item holding
// the 16-bit count, the run/idle header and the data.
Bytes IoDatagram(u32 connectionId, u32 sequence, u16 count, const Bytes& data, u32 runIdle = 1);

struct Message {
    u16 command = 0;
    u32 length = 0;
    u32 session = 0;
    u32 status = 0;
    Bytes data;
};
struct CipReply {
    bool ok = false;  // parsed
    u8 service = 0, general = 0;
    std::vector<u16> additional;
    Bytes data;
};
// The CIP reply in the unconnected (or connected) data item of a SendRRData
// (SendUnitData) reply; connected data lose their sequence count.
CipReply ReplyOf(const Message& m);
struct Cpf {
    u16 type = 0;
    Bytes data;
};
// The items of a common packet format (after the interface handle and
// time-out); empty when they do not parse.
std::vector<Cpf> Items(const Bytes& cpf);

}  // namespace eipo

class EipOriginator {
public:
    explicit EipOriginator(std::function<void()> pump = {}) : pump_(std::move(pump)) {}
    ~EipOriginator();
    EipOriginator(const EipOriginator&) = delete;
    EipOriginator& operator=(const EipOriginator&) = delete;

    bool Connect(const std::string& address, int port, int timeoutMs = 5000);
    void Close();
    bool SendRaw(const eipo::Bytes& bytes);
    // The next whole message, within the time.
    bool Receive(eipo::Message* out, int timeoutMs = 5000);
    // RegisterSession; answers the handle (the session is kept for requests).
    bool Register(u32* handle = nullptr);
    // SendRRData of one CIP request; the reply message and its CIP reply.
    eipo::CipReply Unconnected(const eipo::Bytes& cip, eipo::Message* message = nullptr);
    eipo::CipReply Connected(u32 connectionId, u16 sequence, const eipo::Bytes& cip, eipo::Message* message = nullptr);
    u32 Session() const { return session_; }
    int Fd() const { return fd_; }

private:
    std::function<void()> pump_;
    int fd_ = -1;
    u32 session_ = 0;
    eipo::Bytes pending_;
};

// A UDP end for class-1 I/O.
class EipIo {
public:
    explicit EipIo(std::function<void()> pump = {}) : pump_(std::move(pump)) {}
    ~EipIo();
    EipIo(const EipIo&) = delete;
    EipIo& operator=(const EipIo&) = delete;
    bool Bind(int port);  // on every local address
    bool SendTo(const std::string& address, int port, const eipo::Bytes& datagram);
    // The next datagram within the time (empty on time-out).
    eipo::Bytes Receive(int timeoutMs = 5000);

private:
    std::function<void()> pump_;
    int fd_ = -1;
};
