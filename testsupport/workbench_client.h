// A scripted IEC workbench: builds the runtime's workbench frames ("Q4",
// u16 length, request code, data), sends them over TCP to 127.0.0.1 or over
// a serial line (a pty master; frames then carry their CRC-16, high byte
// first) and reads the answers. It runs the usual sessions: download of an
// application, start and stop, file transfer in both directions.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/bytes.h"

struct WorkbenchAnswer {
    bool received = false;  // false: time-out, connection closed or bad CRC
    u8 code = 0;            // request code the answer carries
    std::vector<u8> data;   // bytes after the code
    // The u16 result of a status or file answer (-1 when there is none).
    int Status() const { return data.size() >= 2 ? GetBe16(data.data()) : -1; }
};

// The answer to a VM request (request 1): tag, status (0 or 255), data.
struct VmAnswer {
    bool received = false;  // false: no VM answer (time-out, or a status answer)
    u8 tag = 0, status = 0;
    std::vector<u8> data;
};

class WorkbenchClient {
public:
    // pump runs while waiting (an in-process test steps the server there).
    explicit WorkbenchClient(std::function<void()> pump = {}) : pump_(std::move(pump)) {}
    ~WorkbenchClient();
    WorkbenchClient(const WorkbenchClient&) = delete;
    WorkbenchClient& operator=(const WorkbenchClient&) = delete;

    // TCP to 127.0.0.1:port (the port as dialled, offset included).
    bool Connect(int port, int timeoutMs = 5000);
    // A serial line: fd is the far side of the runtime's port (not owned).
    void AttachSerial(int fd);
    void Close();
    int Fd() const { return fd_; }
    // True once the server closed the connection (TCP).
    bool PeerClosed(int timeoutMs = 5000);

    static std::vector<u8> Frame(u8 code, const std::vector<u8>& data);
    // The CRC-16/MODBUS of the bytes appended, high byte first (workbench
    // frames) or low byte first (Modbus RTU).
    static std::vector<u8> WithCrc(std::vector<u8> bytes, bool highFirst = true);
    // The file-transfer CRC (reflected 0xA000A001, initial 0xFFFFFFFF).
    static u32 FileCrc(const std::vector<u8>& bytes);

    bool SendRaw(const std::vector<u8>& bytes);
    // One request frame (with its CRC on a serial line).
    bool Send(u8 code, const std::vector<u8>& data) { return SendRaw(Prepare(Frame(code, data))); }
    std::vector<u8> Prepare(const std::vector<u8>& frame) const { return serial_ ? WithCrc(frame) : frame; }
    // Next answer frame; on a serial line its CRC is checked.
    WorkbenchAnswer Read(int timeoutMs = 5000);
    // Up to n raw bytes (fewer on time-out).
    std::vector<u8> ReadBytes(size_t n, int timeoutMs = 5000);
    WorkbenchAnswer Request(u8 code, const std::vector<u8>& data, int timeoutMs = 5000);
    // A request answered by a status (-1: no status answer for this code).
    int Status(u8 code, const std::vector<u8>& data, int timeoutMs = 5000);

    // Requests 2, 3 (blocks of `block` bytes) and 4: the first non-zero
    // status, or the last one.
    int LoadApp(const std::vector<u8>& code, u32 block = 512, const std::string& name = "app") {
        return LoadImage(1, code, block, name);
    }
    // The same requests for a change image (kind 3), which nothing starts.
    int LoadChange(const std::vector<u8>& code, u32 block = 512, const std::string& name = "app") {
        return LoadImage(3, code, block, name);
    }
    int LoadImage(u8 kind, const std::vector<u8>& code, u32 block, const std::string& name);
    int Stop() { return Status(5, {0, 0}); }
    int Start(bool loadRetains = true, bool paused = false, const std::string& name = "app") {
        return StartLike(6, loadRetains, paused, name);
    }
    // Request 7: hot start; request 8: on-line change with the loaded change image.
    int HotStart(bool paused = false, const std::string& name = "app") { return StartLike(7, true, paused, name); }
    int Change(const std::string& name = "app") { return StartLike(8, true, false, name); }

    // Request 1: a VM request of the command with its data (big-endian).
    VmAnswer Vm(u8 command, const std::vector<u8>& data, u8 tag = 0x5A, int timeoutMs = 5000);

    // Request 19: sub-command and arguments.
    WorkbenchAnswer File(u8 sub, const std::vector<u8>& args, int timeoutMs = 5000);
    // Download of a file in blocks: 0 or the first error number; the CRC the
    // runtime answered at the close in *crc.
    int PutFile(const std::string& name, const std::vector<u8>& bytes, u32* crc, u32 block = 700);
    // Upload: 0 or the first error number; the bytes and the runtime's CRC.
    int GetFile(const std::string& name, std::vector<u8>* bytes, u32* crc);

private:
    int StartLike(u8 code, bool loadRetains, bool paused, const std::string& name);
    bool Wait(int events, int timeoutMs);

    int fd_ = -1;
    bool serial_ = false;
    bool owned_ = false;
    std::function<void()> pump_;
    std::vector<u8> in_;  // received, not yet taken
};
