// A scripted host of the programming link: builds and checks frames with the
// seeded checksum and runs the commands (mode, registers, download, verify,
// upload) over a pseudo-terminal whose slave side the controller opens as
// its serial or USB port.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/bytes.h"

// A pty pair; the slave is reachable under a host path (a symlink), where the
// controller expects its device.
class LinkPty {
public:
    LinkPty() = default;
    ~LinkPty();
    LinkPty(const LinkPty&) = delete;
    LinkPty& operator=(const LinkPty&) = delete;
    // Opens the pair (raw slave) and links the slave at hostPath.
    bool Open(const std::string& hostPath);
    int Master() const { return master_; }
    void Close();

private:
    int master_ = -1, slave_ = -1;
    std::string link_;
};

class LinkHost {
public:
    // pump runs while waiting for bytes (an in-process test steps the link
    // there); without one the host just waits for the controller.
    explicit LinkHost(int fd, u8 seed = 0, std::function<void()> pump = {}) : fd_(fd), seed_(seed), pump_(std::move(pump)) {}

    static std::vector<u8> Frame(u8 command, const std::vector<u8>& data, u8 seed, bool extended = false);

    void SendRaw(const std::vector<u8>& bytes);
    void Send(u8 command, const std::vector<u8>& data, bool extended = false) { SendRaw(Frame(command, data, seed_, extended)); }
    void SendByte(u8 b) { SendRaw({b}); }
    // Next byte, -1 after timeoutMs without one.
    int ReadByte(int timeoutMs = 3000);
    // Drops whatever is pending.
    void Drain(int quietMs = 50);

    // One answer: a single byte (single >= 0) or a frame (0xFF command).
    struct Reply {
        int single = -1;      // the byte of a single-byte answer
        bool frame = false;   // a whole frame with a good checksum
        u8 command = 0;
        std::vector<u8> data;
        bool timedOut = false;
    };
    Reply ReadReply(int timeoutMs = 3000);
    // A request and its single-byte answer (-1: none).
    int Ask(u8 command, const std::vector<u8>& data, int timeoutMs = 3000);
    Reply Request(u8 command, const std::vector<u8>& data, int timeoutMs = 3000);
    // Asks the controller its node number (command 9 to any node); false
    // unless a whole frame of exactly one byte came back.
    bool NodeId(u8* node);

    // Whole transfers. Each returns the host's last answer byte from the
    // controller (0xA0 when everything was accepted), -1 on a time-out.
    int Download(u8 node, u8 area, const std::vector<u8>& image, u32 chunk) {
        return SendImage(4, node, area, image, chunk);
    }
    int Verify(u8 node, u8 area, const std::vector<u8>& image, u32 chunk) {
        return SendImage(3, node, area, image, chunk);
    }
    // Upload of an area's data (or its 8-byte header); false on any failure.
    bool Upload(u8 node, u8 area, std::vector<u8>* out, bool header = false);
    // Register read of `bits` bits at a register bit address (token 0 form).
    Reply ReadRegs(u8 node, u32 address, u8 bits, int timeoutMs = 3000);
    int WriteRegs(u8 node, u32 address, u8 bits, const std::vector<u8>& values, int timeoutMs = 3000);
    int SetMode(u8 node, u8 mode) { return Ask(2, {node, mode}); }
    int Negotiate(u8 node, u16 size) { return Ask(35, {node, static_cast<u8>(size), static_cast<u8>(size >> 8)}); }

private:
    // Download (4) and verify (3) send the image the same way: the request,
    // then chunk frames each acknowledged, then an empty frame.
    int SendImage(u8 command, u8 node, u8 area, const std::vector<u8>& image, u32 chunk);

    int fd_;
    u8 seed_;
    std::function<void()> pump_;
};
