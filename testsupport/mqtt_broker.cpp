#include "testsupport/mqtt_broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/clock.h"
#include "testsupport/loopback.h"

namespace {

constexpr int kReadyTries = 500;  // 10 ms apart: 5 s of host time at most

}  // namespace

bool TcpAccepts(const std::string& address, int port) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port));
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

bool MqttBroker::Start(const std::string& dir, const std::string& address, int port, const std::string& extra,
                       const std::string& netns) {
    dir_ = dir;
    address_ = address;
    port_ = port != 0 ? port : FreeLoopbackPort();
    extra_ = extra;
    netns_ = netns;
    return Restart();
}

bool MqttBroker::Restart() {
    process_.Stop();
    const std::string conf = dir_ + "/mosquitto-" + address_ + "-" + std::to_string(port_) + ".conf";
    {
        std::ofstream f(conf);
        // Started as root the broker would change to its own user, which
        // cannot reach the test's folder.
        f << "user root\nper_listener_settings false\npersistence false\nlog_type all\nlog_dest file " << LogPath() << "\n"
          << "listener " << port_ << " " << address_ << "\n"
          << (extra_.find("password_file") == std::string::npos ? "allow_anonymous true\n" : "allow_anonymous false\n")
          << extra_;
    }
    if (!process_.Start(netns_, "exec mosquitto -c " + conf + " 2>>" + LogPath() + ".err")) return false;
    if (!netns_.empty()) {
        for (int i = 0; i < kReadyTries; ++i) {
            bool up = false;
            struct Ctx {
                MqttBroker* self;
                bool* up;
            } ctx{this, &up};
            InNetNamespace(netns_, [](void* p) {
                auto* c = static_cast<Ctx*>(p);
                *c->up = TcpAccepts(c->self->address_, c->self->port_);
            }, &ctx);
            if (up) return true;
            SleepHostMs(10);
        }
        return false;
    }
    for (int i = 0; i < kReadyTries; ++i) {
        if (TcpAccepts(address_, port_)) return true;
        SleepHostMs(10);
    }
    return false;
}

void MqttBroker::Stop() { process_.Stop(); }

std::string MqttBroker::LogPath() const { return dir_ + "/mosquitto-" + address_ + "-" + std::to_string(port_) + ".log"; }

std::string MqttBroker::Log() const {
    std::ifstream in(LogPath());
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string MqttBroker::Target() const { return "-h " + address_ + " -p " + std::to_string(port_); }

int MqttBroker::Publish(const std::string& topic, const std::string& message, const std::string& options) const {
    const std::string cmd = "mosquitto_pub " + Target() + " -t '" + topic + "' -m '" + message + "' " + options;
    return std::system(cmd.c_str());
}

bool MqttSubscriber::Start(const MqttBroker& broker, const std::string& filter, const std::string& file,
                           const std::string& options) {
    file_ = file;
    if (!process_.Start("", "exec stdbuf -oL mosquitto_sub " + broker.Target() + " -v -t '" + filter + "' -t 'probe/#' " +
                                options + " > " + file))
        return false;
    for (int i = 0; i < kReadyTries / 10; ++i) {
        broker.Publish("probe/ready", "x", options);
        for (int k = 0; k < 10; ++k) {
            if (Has("probe/ready x")) return true;
            SleepHostMs(10);
        }
    }
    return false;
}

std::string MqttSubscriber::Text() const {
    std::ifstream in(file_);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool MqttSubscriber::Has(const std::string& line) const {
    std::istringstream in(Text());
    for (std::string l; std::getline(in, l);)
        if (l == line) return true;
    return false;
}
