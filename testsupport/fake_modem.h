// A modem played by the test on the far side of a pty: it reads the command
// lines the controller sends and answers them from a table of command
// prefixes. By default it is a cellular modem, with the internal module's
// socket commands bridged to loopback TCP and a stored SMS list; Hayes()
// turns it into a plain Hayes modem with numeric result codes. Answers can be
// replaced per command to script faults: silence, "ERROR", a bare "OK",
// over-long fields, lying "#SRECV" counts, answers split into pieces.
//
// A modem on serial port 0 or 1 also has the board's modem lines: the test
// raises and drops carrier detect, the controller drives the control line.
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

    // Opens the pty and links its slave at the host path; boardPort is the
    // serial port whose modem lines it has (-1: none).
    bool Open(const std::string& hostPath, int boardPort = -1);
    // Uses the master side of a pty the test opened itself.
    void Attach(int master, int boardPort);
    // A plain Hayes modem: every command is answered "0" (OK) in numeric
    // form, the escape "+++" gets no answer, nothing of the cellular table.
    void Hayes();
    // Echo every command line back before its answer.
    void Echo(bool on) { echo_ = on; }

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
    // Listening sockets bind at the port asked for plus this offset, so that
    // a fixed port of the controller's stays apart from parallel runs.
    void ListenPortOffset(int offset) { listenOffset_ = offset; }
    // The "+CSQ"/"#MONI" level in dBm.
    void SetLevel(int dbm) { level_ = dbm; }

    // Reads what the controller sent and answers what is complete; moves
    // socket data both ways. Answers the bytes written to the controller.
    size_t Pump();
    // The pty's master side (readable when the controller sent something).
    int Master() const { return attached_ >= 0 ? attached_ : pty_.Master(); }
    // Carrier detect of the board port, as the modem raises and drops it.
    void Carrier(bool on);
    // The modem control line the controller drives.
    bool ControlLine() const;
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
    int attached_ = -1;
    int boardPort_ = -1;
    bool echo_ = false;
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
    int listenOffset_ = 0;
    int sendSocket_ = 0;      // socket of an expected data block
    size_t sendRemaining_ = 0;
    Socket sockets_[6];
};
