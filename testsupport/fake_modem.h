// A cellular modem played by the test on the far side of a pty: it reads the
// command lines the controller sends and answers them from a table, with the
// internal module's socket commands bridged to loopback TCP and a stored SMS
// list. Answers can be replaced per command to script faults: silence,
// "ERROR", a bare "OK", over-long fields, lying "#SRECV" counts, answers
// split into pieces.
//
// In-process tests call Pump() between steps of the firmware; tests of the
// real executable let it run on its own thread (Start/Stop).
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/link_host.h"

class FakeModem {
public:
    FakeModem();
    ~FakeModem();
    FakeModem(const FakeModem&) = delete;
    FakeModem& operator=(const FakeModem&) = delete;

    // Opens the pty and links its slave at the host path.
    bool Open(const std::string& hostPath);

    // The answer to every command line that begins with `prefix` (the longest
    // matching prefix wins); an empty answer is silence. Overrides the
    // built-in answers of the internal module.
    void Answer(const std::string& prefix, const std::string& reply);
    // The answer for the next `times` commands beginning with prefix only.
    void AnswerOnce(const std::string& prefix, const std::string& reply, int times = 1);
    // Answers are written at most `bytes` per Pump (0: whole).
    void SplitAnswers(size_t bytes) { split_ = bytes; }
    // The "#SRECV" answer names this many bytes more than it carries.
    void LieSrecvCount(int extra) { srecvLie_ = extra; }
    // Bytes the modem sends on its own (rings, a connection).
    void Unsolicited(const std::string& bytes);
    // The "+CSQ"/"#MONI" level in dBm.
    void SetLevel(int dbm) { level_ = dbm; }

    // Reads what the controller sent and answers what is complete; moves
    // socket data both ways. Answers the bytes written to the controller.
    size_t Pump();
    // The pty's master side (readable when the controller sent something).
    int Master() const { return pty_.Master(); }
    void Start();
    void Stop();

    // Every command line received (without its carriage return).
    std::vector<std::string> Commands();
    void ClearCommands();
    // Bytes the controller sent as socket data (after a send prompt).
    std::string SentData();

private:
    struct Socket {
        int fd = -1;         // connected TCP socket (or -1)
        int listenFd = -1;   // listening TCP socket
        std::string peerAddress, peerPort;
        bool incoming = false;
        std::string pending;  // received from TCP, not yet read by the controller
    };
    std::string Reply(const std::string& line);
    void Send(const std::string& bytes);
    size_t Flush();
    void PumpSockets();
    std::string SocketStatus();

    LinkPty pty_;
    std::mutex mutex_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::map<std::string, std::string> answers_;
    std::map<std::string, std::pair<std::string, int>> once_;
    std::string in_, out_;
    std::vector<std::string> commands_;
    std::string sentData_;
    size_t split_ = 0;
    int srecvLie_ = 0;
    int level_ = -75;
    int sendSocket_ = 0;      // socket of an expected data block
    size_t sendRemaining_ = 0;
    Socket sockets_[6];
};
