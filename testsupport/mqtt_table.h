// Builds MQTT tables for tests: the body of the downloaded table with its
// connection records, string pool and attachment area (plug-in images and
// node-death records), and the image of the tests' payload plug-in.
#pragma once

#include <string>
#include <vector>

#include "platform/bytes.h"

struct MqttConnectionSpec {
    u32 pluginBase = 0;      // +0: the test plug-in's register base
    u8 number = 0;
    bool will = false, tls = false, clean = true, willRetain = false, sparkplugWill = false;
    u8 role = 1;
    u8 payloadMode = 0;
    u8 addressForm = 1;      // 1 IPv4, 2 host name, 3 register with IPv4, 4 register with host name
    u32 address = 0x7F000001;  // IPv4 (form 1) or register (forms 3, 4)
    std::string host;        // form 2
    u8 willQos = 0;
    u8 certData = 0;
    u16 port = 1883;
    u16 version[3] = {3, 1, 1};
    u16 tlsVersion = 2;
    u32 keepAlive = 60;
    std::string name, clientId, user, password, willTopic, willPayload, ca, cert, key, keyPass;
    std::string edge, group, ns;  // node-death record (payload mode 2)
    u16 publishTopics = 1, subscriptions = 1;
    std::vector<u8> image;   // the plug-in image
    bool noImage = false;    // image offset beyond the table
};

std::vector<u8> MqttTableBody(u32 statusReg, u32 enableReg, const std::vector<MqttConnectionSpec>& connections);
// The bytes of the tests' payload plug-in (testsupport/mqtt_plugin).
std::vector<u8> MqttTestPluginImage();
// Puts a body into the stored MQTT block with its CRC (in-process tests).
void MqttTable_Store(const std::vector<u8>& body);
