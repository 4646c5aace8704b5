#include "testsupport/libmodbus_peer.h"

#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

#include <type_traits>

namespace {

bool Load(LibModbus* l) {
    void* h = dlopen("libmodbus.so.5", RTLD_NOW);
    if (!h) return false;
    auto get = [h](auto& fn, const char* name) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(h, name));
        return fn != nullptr;
    };
    return get(l->newTcp, "modbus_new_tcp") && get(l->connect, "modbus_connect") && get(l->close, "modbus_close") &&
           get(l->free, "modbus_free") && get(l->setSlave, "modbus_set_slave") && get(l->readRegisters, "modbus_read_registers") &&
           get(l->setResponseTimeout, "modbus_set_response_timeout") &&
           get(l->setIndicationTimeout, "modbus_set_indication_timeout") && get(l->listen, "modbus_tcp_listen") &&
           get(l->accept, "modbus_tcp_accept") && get(l->getSocket, "modbus_get_socket") &&
           get(l->receive, "modbus_receive") && get(l->reply, "modbus_reply") &&
           get(l->mappingNew, "modbus_mapping_new") && get(l->mappingFree, "modbus_mapping_free");
}

bool Readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

// "<function> <address> <values>" of a write request (MBAP header, unit id,
// PDU), or "" for any other.
std::string WriteLine(const u8* q, int n) {
    if (n < 12) return {};
    const u8 f = q[7];
    const u16 address = GetBe16(q + 8), x = GetBe16(q + 10);
    std::string values;
    auto add = [&](u32 v) { values += (values.empty() ? "" : ",") + std::to_string(v); };
    if (f == 5) add(x == 0xFF00 ? 1 : 0);
    else if (f == 6) add(x);
    else if (f == 15)
        for (u32 k = 0; k < x && 13 + k / 8 < static_cast<u32>(n); ++k) add(q[13 + k / 8] >> (k % 8) & 1);
    else if (f == 16)
        for (u32 k = 0; k < x && 13 + 2 * k + 1 < static_cast<u32>(n); ++k) add(GetBe16(q + 13 + 2 * k));
    else return {};
    return std::to_string(f) + " " + std::to_string(address) + " " + values + "\n";
}

}  // namespace

const LibModbus* LibModbus_Get() {
    static LibModbus lib;
    static const bool ok = Load(&lib);
    return ok ? &lib : nullptr;
}

LibModbusClient::LibModbusClient(int port) : lib_(LibModbus_Get()) {
    if (!lib_ || !(ctx_ = lib_->newTcp("127.0.0.1", port))) return;
    lib_->setSlave(ctx_, 1);
    for (int tries = 0; tries < 200 && !connected_; ++tries) {
        connected_ = lib_->connect(ctx_) == 0;
        if (!connected_) poll(nullptr, 0, 10);
    }
}

LibModbusClient::~LibModbusClient() {
    if (ctx_) lib_->close(ctx_), lib_->free(ctx_);
}

bool LibModbusClient::Read(int address, int count, u16* registers) {
    return connected_ && lib_->readRegisters(ctx_, address, count, registers) == count;
}

LibModbusServer::LibModbusServer(int port, int size) : lib_(LibModbus_Get()) {
    if (!lib_) return;
    ctx_ = lib_->newTcp("127.0.0.1", port);
    map_ = lib_->mappingNew(size, size, size, size);
    if (!ctx_ || !map_) return;
    for (int k = 0; k < size; ++k) {
        map_->tab_registers[k] = static_cast<uint16_t>(1000 + k);
        map_->tab_input_registers[k] = static_cast<uint16_t>(2000 + k);
        map_->tab_bits[k] = k % 3 == 0;
        map_->tab_input_bits[k] = k % 2 == 0;
    }
    // A request that stalls halfway does not hold the thread for ever.
    lib_->setIndicationTimeout(ctx_, 1, 0);
    listenFd_ = lib_->listen(ctx_, 1);
    if (listenFd_ >= 0) thread_ = std::thread([this] { Run(); });
}

LibModbusServer::~LibModbusServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    if (ctx_) lib_->close(ctx_), lib_->free(ctx_);
    if (map_) lib_->mappingFree(map_);
}

std::string LibModbusServer::Log() {
    std::lock_guard<std::mutex> l(mutex_);
    return log_;
}

void LibModbusServer::Run() {
    uint8_t q[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!stop_) {
        if (!Readable(listenFd_, 20)) continue;
        int fd = listenFd_;
        if (lib_->accept(ctx_, &fd) < 0) continue;
        connected_ = true;
        while (!stop_ && !hangUp_) {
            if (!Readable(lib_->getSocket(ctx_), 20)) continue;
            const int n = lib_->receive(ctx_, q);
            if (n < 0) break;
            if (n == 0 || silent_) continue;
            std::lock_guard<std::mutex> l(mutex_);
            log_ += WriteLine(q, n);
            lib_->reply(ctx_, q, n, map_);
        }
        lib_->close(ctx_);
        connected_ = false;
        hangUp_ = false;
    }
}

void LibModbusServer::HangUp() {
    if (!connected_) return;
    hangUp_ = true;
    for (int k = 0; k < 1000 && hangUp_; ++k) poll(nullptr, 0, 2);
}
