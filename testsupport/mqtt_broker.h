// The mosquitto broker and clients (Debian's) as the MQTT tests' peers: a
// broker on a loopback address (or in a namespace) with its own
// configuration, mosquitto_pub for single messages and mosquitto_sub
// writing what it receives to a file.
#pragma once

#include <functional>
#include <string>

#include "testsupport/net_namespace.h"

class MqttBroker {
public:
    ~MqttBroker() { Stop(); }
    // Starts the broker listening on address:port (port 0: a free one) with
    // its files in dir; extra holds further lines of its listener (TLS,
    // password file). False when it does not accept connections within a
    // few seconds.
    bool Start(const std::string& dir, const std::string& address = "127.0.0.1", int port = 0,
               const std::string& extra = "", const std::string& netns = "");
    void Stop();
    // Starts it again on the same address and port.
    bool Restart();
    int Port() const { return port_; }
    const std::string& Address() const { return address_; }
    // mosquitto_pub with the given further options; its exit status.
    int Publish(const std::string& topic, const std::string& message, const std::string& options = "") const;
    // What the broker logged (connections with their protocol level).
    std::string Log() const;
    // Client options that reach this broker (host, port).
    std::string Target() const;

private:
    std::string LogPath() const;
    PeerProcess process_;
    std::string dir_, address_, extra_, netns_;
    int port_ = 0;
};

// mosquitto_sub on a broker, writing "topic payload" lines to a file.
class MqttSubscriber {
public:
    ~MqttSubscriber() { process_.Stop(); }
    // Subscribes to filter (and to "probe/#"); ready once a probe it
    // published came back. False when it never did.
    bool Start(const MqttBroker& broker, const std::string& filter, const std::string& file,
               const std::string& options = "");
    std::string Text() const;
    bool Has(const std::string& line) const;

private:
    PeerProcess process_;
    std::string file_;
};

// Whether a TCP connection to address:port is accepted now.
bool TcpAccepts(const std::string& address, int port);
