// libmodbus (Debian libmodbus5) as an independent Modbus/TCP peer for the
// tests and benchmarks: the library's functions, opened at run time, and a
// minimal server that answers from libmodbus's own tables in a thread of
// its own.
#pragma once

#include <modbus/modbus.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "platform/bytes.h"

struct LibModbus {
    decltype(&modbus_new_tcp) newTcp;
    decltype(&modbus_connect) connect;
    decltype(&modbus_close) close;
    decltype(&modbus_free) free;
    decltype(&modbus_set_slave) setSlave;
    decltype(&modbus_read_registers) readRegisters;
    decltype(&modbus_set_response_timeout) setResponseTimeout;
    decltype(&modbus_set_indication_timeout) setIndicationTimeout;
    decltype(&modbus_tcp_listen) listen;
    decltype(&modbus_tcp_accept) accept;
    decltype(&modbus_get_socket) getSocket;
    decltype(&modbus_receive) receive;
    decltype(&modbus_reply) reply;
    decltype(&modbus_mapping_new) mappingNew;
    decltype(&modbus_mapping_free) mappingFree;
};
// The library's functions, or null when libmodbus.so.5 is not installed.
const LibModbus* LibModbus_Get();

// A libmodbus client of 127.0.0.1:port.
class LibModbusClient {
public:
    // Connects, trying for up to 2 s while the server is still starting.
    explicit LibModbusClient(int port);
    ~LibModbusClient();
    LibModbusClient(const LibModbusClient&) = delete;
    LibModbusClient& operator=(const LibModbusClient&) = delete;
    bool Ok() const { return connected_; }
    // Reads count holding registers from address (0-based) of unit 1; false
    // when the answer does not come whole.
    bool Read(int address, int count, u16* registers);

private:
    const LibModbus* lib_;
    modbus_t* ctx_ = nullptr;
    bool connected_ = false;
};

// Answers Modbus/TCP on 127.0.0.1:port, one connection at a time, from
// tables of `size` entries each that start with holding register k = 1000 +
// k, input register k = 2000 + k, coil k set when k % 3 == 0 and discrete
// input k when k is even. Every write is logged as "<function> <address>
// <values>".
class LibModbusServer {
public:
    explicit LibModbusServer(int port, int size = 512);
    ~LibModbusServer();
    LibModbusServer(const LibModbusServer&) = delete;
    LibModbusServer& operator=(const LibModbusServer&) = delete;
    // It listens (false: libmodbus is missing or the port is taken).
    bool Ok() const { return listenFd_ >= 0; }
    std::string Log();
    // Requests that arrive while silent are read and not answered.
    void Silent(bool on) { silent_ = on; }
    // Hangs up the connection being served and returns once it is closed
    // (the next one is accepted).
    void HangUp();

private:
    void Run();

    const LibModbus* lib_;
    modbus_t* ctx_ = nullptr;
    modbus_mapping_t* map_ = nullptr;
    int listenFd_ = -1;
    std::atomic<bool> stop_{false}, silent_{false}, hangUp_{false}, connected_{false};
    std::mutex mutex_;
    std::string log_;
    std::thread thread_;
};
