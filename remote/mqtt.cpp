#include "remote/mqtt.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "link/command.h"
#include "platform/clock.h"
#include "platform/fileio.h"
#include "platform/root.h"
#include "remote/dnsClient.h"

namespace {

// The library's message record and client, as its interface defines them.
struct MosqMessage {
    int mid;
    char* topic;
    void* payload;
    int payloadlen;
    int qos;
    bool retain;
};
using Mosq = void;
using ConnectCb = void (*)(Mosq*, void*, int);
using PublishCb = void (*)(Mosq*, void*, int);
using MessageCb = void (*)(Mosq*, void*, const MosqMessage*);
using SubscribeCb = void (*)(Mosq*, void*, int, int, const int*);
using LogCb = void (*)(Mosq*, void*, int, const char*);
using PasswordCb = int (*)(char*, int, int, void*);

constexpr int kOptProtocolVersion = 1;
constexpr int kVerifyPeer = 1;

// The functions in the order they are looked up.
struct Lib {
    int (*unsubscribe)(Mosq*, int*, const char*);
    int (*subscribe)(Mosq*, int*, const char*, int);
    const char* (*strerror)(int);
    int (*disconnect)(Mosq*);
    int (*publish)(Mosq*, int*, const char*, int, const void*, int, bool);
    int (*loopStop)(Mosq*, bool);
    void (*destroy)(Mosq*);
    int (*libCleanup)();
    int (*libInit)();
    int (*reconnectAsync)(Mosq*);
    Mosq* (*create)(const char*, bool, void*);
    void (*connectCallbackSet)(Mosq*, ConnectCb);
    void (*logCallbackSet)(Mosq*, LogCb);
    void (*disconnectCallbackSet)(Mosq*, ConnectCb);
    void (*publishCallbackSet)(Mosq*, PublishCb);
    int (*willSet)(Mosq*, const char*, int, const void*, int, bool);
    int (*optsSet)(Mosq*, int, void*);
    int (*connectAsync)(Mosq*, const char*, int, int);
    int (*tlsInsecureSet)(Mosq*, bool);
    int (*usernamePwSet)(Mosq*, const char*, const char*);
    void (*messageCallbackSet)(Mosq*, MessageCb);
    void (*subscribeCallbackSet)(Mosq*, SubscribeCb);
    int (*tlsOptsSet)(Mosq*, int, const char*, const char*);
    int (*tlsSet)(Mosq*, const char*, const char*, const char*, const char*, PasswordCb);
    int (*loopStart)(Mosq*);
    void (*messageFree)(MosqMessage**);
    void (*userDataSet)(Mosq*, void*);
    int (*maxInflightSet)(Mosq*, unsigned);
};
static_assert(sizeof(Lib) == kMqttLibFunctions * sizeof(void*), "one pointer per library function");

const char* const kLibNames[kMqttLibFunctions] = {
    "mosquitto_unsubscribe", "mosquitto_subscribe", "mosquitto_strerror", "mosquitto_disconnect",
    "mosquitto_publish", "mosquitto_loop_stop", "mosquitto_destroy", "mosquitto_lib_cleanup",
    "mosquitto_lib_init", "mosquitto_reconnect_async", "mosquitto_new", "mosquitto_connect_callback_set",
    "mosquitto_log_callback_set", "mosquitto_disconnect_callback_set", "mosquitto_publish_callback_set",
    "mosquitto_will_set", "mosquitto_opts_set", "mosquitto_connect_async", "mosquitto_tls_insecure_set",
    "mosquitto_username_pw_set", "mosquitto_message_callback_set", "mosquitto_subscribe_callback_set",
    "mosquitto_tls_opts_set", "mosquitto_tls_set", "mosquitto_loop_start", "mosquitto_message_free",
    "mosquitto_user_data_set", "mosquitto_max_inflight_messages_set"};

MqttClientState g;
std::mutex locks[kMqttConnectionsMax];
Lib lib;
void* libHandle = nullptr;
std::string libName = "libmosquitto.so";
int wakeFd = -1;
int mosqErrno = 0;  // last library result, kept for a debugger

int IndexOf(const MqttConnectionState& c) { return static_cast<int>(&c - g.conn); }
std::mutex& LockOf(const MqttConnectionState& c) { return locks[IndexOf(c)]; }

void Wake() {
    if (wakeFd < 0) return;
    const u64 one = 1;
    ssize_t n = ::write(wakeFd, &one, sizeof one);
    (void)n;
}

u32 NowSeconds() { return static_cast<u32>(Clock_MonotonicNs() / 1000000000ull); }

// ---------------------------------------------------------------------------
// The table.

struct Table {
    const u8* body;
    u32 size;
    u32 pool;
    u32 attach;

    u32 U32(u32 at) const { return u64{at} + 4 <= size ? GetLe32(body + at) : 0; }
    // A {offset, length} text of the record at rec: false when it leaves the body.
    bool Text(const u8* rec, u32 field, const u8** data, u32* length) const {
        const u32 offset = GetLe32(rec + field), n = GetLe32(rec + field + 4);
        const u64 at = u64{pool} + offset;
        if (at + n > size) return false;
        *data = body + at;
        *length = n;
        return true;
    }
    // Copies a text into a field of capacity bytes (text and NUL); a text that
    // leaves the body or does not fit reads as empty.
    void CopyText(const u8* rec, u32 field, char* out, u32 capacity) const {
        const u8* data = nullptr;
        u32 n = 0;
        out[0] = 0;
        if (!Text(rec, field, &data, &n) || n >= capacity) return;
        std::memcpy(out, data, n);
        out[n] = 0;
    }
    // A span of the attachment area, nullptr when it leaves the body.
    const u8* Attachment(u32 offset, u32 length) const {
        const u64 at = u64{attach} + offset;
        return at + length <= size ? body + at : nullptr;
    }
};


// The broker address from registers, form 4: characters 8 bits at a time up
// to the first NUL.
void RegisterHostName(u32 reg, char* out) {
    u32 n = 0;
    const bool iec = QuilletRuntime != 0 && quillet_variables_enumerateded != 0;
    for (; n < kMqttTextChars - 1; ++n) {
        u8 ch = 0;
        if (iec)
            brvqPlcRegGet(reg, 8 * n, &ch, 8);
        else
            PlcReg_Get(&ch, reg + 8 * n, 8);
        if (ch == 0) break;
        out[n] = static_cast<char>(ch);
    }
    out[n] = 0;
}

// The certificate files of a connection: their paths always, their contents
// only when the table changed since they were last written.
void WriteCertificates(MqttConnectionState& c, const Table& t, const u8* rec) {
    struct File {
        u32 field;
        const char* pattern;
        char* path;
        unsigned mode;
    };
    const File ca1{kRecCa1, "/mnt/USB0/%d_dca-cert.pem", c.caFile, 0644};
    const File files2[3] = {{kRecCa2, "/mnt/USB0/%d_dca-cert.pem", c.caFile, 0644},
                            {kRecClientCert, "/mnt/USB0/%d_dcl-cert.pem", c.certFile, 0644},
                            {kRecClientKey, "/mnt/USB0/%d_dcl-key.pem", c.keyFile, 0600}};
    const File* files = c.certData == 1 ? &ca1 : files2;
    const int count = c.certData == 1 ? 1 : c.certData == 2 ? 3 : 0;
    const bool changed = !c.certWritten || c.certCrc != g.tableCrc || c.certSize != g.tableSize;
    c.caFile[0] = c.certFile[0] = c.keyFile[0] = c.keyPass[0] = 0;
    for (int k = 0; k < count; ++k) {
        char path[64];
        std::snprintf(path, sizeof path, files[k].pattern, c.number);
        std::snprintf(files[k].path, kMqttTextChars, "%s", Root_HostPath(path).c_str());
        if (!changed) continue;
        const u8* data = nullptr;
        u32 n = 0;
        if (!t.Text(rec, files[k].field, &data, &n)) n = 0;
        createFile(files[k].path, data, n, files[k].mode);
    }
    if (c.certData == 2) t.CopyText(rec, kRecKeyPass, c.keyPass, sizeof c.keyPass);
    c.certWritten = 1;
    c.certCrc = g.tableCrc;
    c.certSize = g.tableSize;
}

// Fills connection i from its record; the caller holds its lock.
void FillConnection(MqttConnectionState& c, int i, const Table& t, const u8* rec, int type) {
    c.inUse = 1;
    c.number = rec[kRecNumber];
    const u8 flags = rec[kRecFlags];
    c.willEnabled = flags & kMqttFlagWill ? 1 : 0;
    c.tls = flags & kMqttFlagTls ? 1 : 0;
    c.cleanSession = flags & kMqttFlagClean ? 1 : 0;
    c.willRetain = flags & kMqttFlagWillRetain ? 1 : 0;
    c.sparkplugWill = flags & kMqttFlagSparkplugWill ? 1 : 0;
    c.role = static_cast<u8>(flags >> 5);
    c.payloadMode = rec[kRecPayloadMode];
    c.addressForm = rec[kRecAddressForm];
    c.willQos = rec[kRecWillQos];
    c.certData = rec[kRecCertData];
    c.port = GetLe16(rec + kRecPort);
    const bool v310 =
        GetLe16(rec + kRecVersion) == 3 && GetLe16(rec + kRecVersion + 2) == 1 && GetLe16(rec + kRecVersion + 4) == 0;
    c.protocol = v310 ? 3 : 4;
    c.keepAlive = GetLe32(rec + kRecKeepAlive);
    t.CopyText(rec, kRecName, c.name, sizeof c.name);
    if (c.name[0] == 0) std::snprintf(c.name, sizeof c.name, "BrokerConnection_%d", i);
    t.CopyText(rec, kRecClientId, c.clientId, sizeof c.clientId);
    if (c.clientId[0] == 0) c.cleanSession = 1;
    t.CopyText(rec, kRecUser, c.user, sizeof c.user);
    t.CopyText(rec, kRecPassword, c.password, sizeof c.password);

    c.willTopic[0] = 0;
    c.willLength = 0;
    if (c.willEnabled && !c.sparkplugWill) {
        t.CopyText(rec, kRecWillTopic, c.willTopic, sizeof c.willTopic);
        const u8* data = nullptr;
        u32 n = 0;
        if (t.Text(rec, kRecWillPayload, &data, &n) && n <= kMqttWillBytes) {
            std::memcpy(c.willPayload, data, n);
            c.willLength = n;
        }
    } else if (c.willEnabled && c.payloadMode == 2) {
        // Node death: namespace/group/NDEATH/edge node, empty payload.
        const u32 sparkAt = GetLe32(rec + kRecSparkplug);
        const u8* sp = t.Attachment(sparkAt, 44);
        if (sp != nullptr) {
            Table local{t.body, t.size, t.attach + sparkAt + GetLe32(sp + 40), 0};
            char edge[kMqttTextChars], group[kMqttTextChars], ns[kMqttTextChars];
            local.CopyText(sp, 16, edge, sizeof edge);
            local.CopyText(sp, 24, group, sizeof group);
            local.CopyText(sp, 32, ns, sizeof ns);
            const int n = std::snprintf(c.willTopic, sizeof c.willTopic, "%s/%s/NDEATH/%s", ns, group, edge);
            if (n < 0 || n >= static_cast<int>(sizeof c.willTopic)) c.willTopic[0] = 0;
        }
    }

    // The broker address.
    char address[kMqttTextChars] = {};
    const u32 value = GetLe32(rec + kRecAddress);
    switch (c.addressForm) {
        case 1:
            std::snprintf(address, sizeof address, "%u.%u.%u.%u", value >> 24, (value >> 16) & 0xFF,
                          (value >> 8) & 0xFF, value & 0xFF);
            break;
        case 3: {
            u8 raw[4] = {};
            if (PlcReg_Get(raw, value, 32) == 1) {
                const u32 a = GetLe32(raw);
                std::snprintf(address, sizeof address, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF,
                              a & 0xFF);
            } else {
                std::printf("Get #R value failed for Broker IP..\n");
            }
            break;
        }
        case 2: {
            const u32 n = GetLe32(rec + kRecHostLength);
            const u64 at = u64{t.pool} + value;
            if (n < kMqttTextChars && at + n <= t.size) {
                std::memcpy(address, t.body + at, n);
                address[n] = 0;
            }
            break;
        }
        case 4: RegisterHostName(value, address); break;
        default: break;
    }
    if (c.addressForm == 2 || c.addressForm == 4)
        std::memcpy(c.hostName, address, sizeof address);
    else
        std::memcpy(c.address, address, sizeof address);
    if (std::strcmp(address, c.previous) != 0) {
        std::memcpy(c.previous, address, sizeof address);
        c.addressChanged = 1;
    }

    if (c.tls) {
        const u16 v = GetLe16(rec + kRecTlsVersion);
        std::snprintf(c.tlsVersion, sizeof c.tlsVersion, "%s", v == 0 ? "tlsv1" : v == 1 ? "tlsv1.1" : "tlsv1.2");
        WriteCertificates(c, t, rec);
    }
    c.publishTopics = GetLe16(rec + kRecPublishCount);
    c.subscriptionCount =
        static_cast<u16>(std::min<u32>(GetLe16(rec + kRecSubscriptionCount), kMqttSubscriptionsMax));
    c.plugin.link.table = t.body;
    c.plugin.link.connection = rec;
    if (type == 3) {
        const u32 imageAt = GetLe32(rec + kRecImageOffset), imageLength = GetLe32(rec + kRecImageLength);
        dlInstall(c.plugin, i, t.Attachment(imageAt, imageLength), imageLength);
    }
}

// ---------------------------------------------------------------------------
// Callbacks: the library's network thread. They take only the connection's lock.

MqttConnectionState* FromUser(void* user) {
    auto* c = static_cast<MqttConnectionState*>(user);
    return c >= g.conn && c < g.conn + kMqttConnectionsMax ? c : nullptr;
}

void connectCallback(Mosq*, void* user, int result) {
    MqttConnectionState* c = FromUser(user);
    if (c == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(LockOf(*c));
        if (result == 0) {
            c->connected = 1;
            c->waitReason = kMqttWaitConnected;
        } else {
            c->connected = 0;
        }
    }
    Wake();
}

void disconnectCallback(Mosq*, void* user, int) {
    MqttConnectionState* c = FromUser(user);
    if (c == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(LockOf(*c));
        c->connected = 0;
        c->queued = 0;
        if (c->cleanSession)
            for (MqttSubscriptionState& s : c->subscriptions) s.subscribed = 0;
    }
    Wake();
}

void publishCallback(Mosq*, void* user, int) {
    MqttConnectionState* c = FromUser(user);
    if (c == nullptr) return;
    std::lock_guard<std::mutex> lock(LockOf(*c));
    c->queued = 0;
}

void subscribeCallback(Mosq*, void* user, int mid, int, const int*) {
    MqttConnectionState* c = FromUser(user);
    if (c == nullptr) return;
    std::lock_guard<std::mutex> lock(LockOf(*c));
    for (u32 i = 0; i < c->subscriptionCount; ++i)
        if (c->subscriptions[i].waiting && c->receive[i].messageId == static_cast<u32>(mid)) {
            c->subscriptions[i].waiting = 0;
            c->subscriptions[i].subscribed = 1;
        }
}

void messageCallback(Mosq*, void* user, const MosqMessage* m) {
    MqttConnectionState* c = FromUser(user);
    if (c == nullptr || m == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(LockOf(*c));
        c->receivedCount++;
        // No subscription to hold it, a topic over its field, or a block whose
        // slots the plug-in has not given back: the message is dropped.
        if (c->subscriptionCount == 0) return;
        const size_t topicLength = m->topic ? std::strlen(m->topic) : 0;
        if (topicLength >= kMqttTopicBytes) return;
        if (c->currentBlock >= c->subscriptionCount) c->currentBlock = 0;
        MqttReceiveBlock& b = c->receive[c->currentBlock];
        if (b.used >= kMqttSlotsPerBlock) return;
        MqttMessageSlot& s = b.slots[b.used];
        if (m->payloadlen <= 0 || m->payload == nullptr) {
            std::memset(s.payload, 0, sizeof s.payload);
            s.payloadLength = 0;
        } else if (static_cast<u32>(m->payloadlen) >= kMqttPayloadBytes) {
            std::memcpy(s.topic, m->topic, topicLength + 1);
            std::memset(s.payload, 0, sizeof s.payload);
            s.flag = kMqttSlotTooLong;
        } else {
            std::memcpy(s.topic, m->topic, topicLength + 1);
            std::memcpy(s.payload, m->payload, static_cast<size_t>(m->payloadlen));
            s.payloadLength = static_cast<u32>(m->payloadlen);
            s.qos = static_cast<u32>(m->qos);
            s.retain = m->retain ? 1 : 0;
            s.flag = kMqttSlotStored;
        }
        if (++b.used >= kMqttSlotsPerBlock) c->currentBlock = (c->currentBlock + 1) % c->subscriptionCount;
    }
    Wake();
}

void logCallback(Mosq*, void*, int, const char*) {}

// The library hands its client as the user data of the key's pass phrase.
int tlsPwdCallback(char* buffer, int size, int, void* user) {
    for (MqttConnectionState& c : g.conn) {
        std::lock_guard<std::mutex> lock(LockOf(c));
        if (c.client == nullptr || c.client != user) continue;
        if (size <= 0) return 0;
        const int n = static_cast<int>(std::min<size_t>(std::strlen(c.keyPass), static_cast<size_t>(size - 1)));
        std::memcpy(buffer, c.keyPass, static_cast<size_t>(n));
        buffer[n] = 0;
        return n;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Client calls.

int mqttClientInit(MqttConnectionState& c) {
    Mosq* client = lib.create(c.clientId[0] ? c.clientId : nullptr, c.cleanSession != 0, &c);
    {
        std::lock_guard<std::mutex> lock(LockOf(c));
        c.client = client;
    }
    if (c.client == nullptr) return 0;
    lib.connectCallbackSet(c.client, connectCallback);
    lib.logCallbackSet(c.client, logCallback);
    lib.disconnectCallbackSet(c.client, disconnectCallback);
    if (c.role == kMqttRolePublisher) {
        lib.publishCallbackSet(c.client, publishCallback);
    } else if (c.role == kMqttRoleSubscriber) {
        lib.messageCallbackSet(c.client, messageCallback);
        lib.subscribeCallbackSet(c.client, subscribeCallback);
    } else {
        lib.messageCallbackSet(c.client, messageCallback);
        lib.subscribeCallbackSet(c.client, subscribeCallback);
        lib.publishCallbackSet(c.client, publishCallback);
    }
    return 1;
}

int mqttClientSetConfig(MqttConnectionState& c) {
    if (c.user[0] && c.password[0] && (mosqErrno = lib.usernamePwSet(c.client, c.user, c.password)) != 0) return 0;
    if (c.tls) {
        // Certificate data 1 carries a CA only: no client certificate or key.
        const bool client = c.certData == 2;
        mosqErrno = lib.tlsSet(c.client, c.caFile[0] ? c.caFile : nullptr, nullptr, client ? c.certFile : nullptr,
                               client ? c.keyFile : nullptr, tlsPwdCallback);
        if (mosqErrno != 0) return 0;
        lib.tlsOptsSet(c.client, kVerifyPeer, c.tlsVersion, nullptr);
    }
    if (c.willEnabled &&
        (mosqErrno = lib.willSet(c.client, c.willTopic, static_cast<int>(c.willLength), c.willPayload, c.willQos,
                                 c.willRetain != 0)) != 0)
        return 0;
    lib.maxInflightSet(c.client, kMqttQueuedMax);
    int level = c.protocol;
    if ((mosqErrno = lib.optsSet(c.client, kOptProtocolVersion, &level)) != 0) return 0;
    return 1;
}

bool Connected(MqttConnectionState& c) {
    std::lock_guard<std::mutex> lock(LockOf(c));
    return c.connected != 0;
}

void SetState(MqttConnectionState& c, u8 state, u8 wait = 0) {
    std::lock_guard<std::mutex> lock(LockOf(c));
    c.state = state;
    if (state == kMqttWait) c.waitReason = wait;
}

// Waits for the broker's acceptance, unless the library's thread already
// reported it: it may answer before the loop start returns.
void WaitForConnection(MqttConnectionState& c) {
    std::lock_guard<std::mutex> lock(LockOf(c));
    c.state = kMqttWait;
    c.waitReason = c.connected ? kMqttWaitConnected : kMqttWaitConnect;
}

// 1 when handed over (or skipped), 0 when the library refused it.
int mqttClientPublish(MqttConnectionState& c, MqttPublishEntry& e, bool connected) {
    if (!connected && e.qos == 0) return 1;
    // A payload beyond its field or a topic without its NUL is refused.
    if (e.payloadLength > kMqttPayloadBytes || std::memchr(e.topic, 0, sizeof e.topic) == nullptr) {
        e.state = kMqttEntryDone;
        e.errors = 0;
        return 0;
    }
    int mid = 0;
    mosqErrno = lib.publish(c.client, &mid, e.topic, static_cast<int>(e.payloadLength), e.payload,
                            static_cast<int>(e.qos), e.retain != 0);
    e.messageId = static_cast<u32>(mid);
    if (connected) {
        if (mosqErrno != 0) {
            e.errors++;
            return 0;
        }
        e.state = kMqttEntrySent;
        c.publishCount++;
        return 1;
    }
    e.state = kMqttEntrySent;
    std::lock_guard<std::mutex> lock(LockOf(c));
    c.queued++;
    return 1;
}

void PublishPass(MqttConnectionState& c) {
    const bool connected = Connected(c);
    for (MqttPublishEntry& e : c.publish) {
        if (e.state != kMqttEntryReady || e.topic[0] == 0) continue;
        u16 queued;
        {
            std::lock_guard<std::mutex> lock(LockOf(c));
            queued = c.queued;
        }
        if (connected || queued < kMqttQueuedMax) mqttClientPublish(c, e, connected);
    }
}

void SubscribePass(MqttConnectionState& c) {
    // The lock is held across the request so that its acknowledgement,
    // matched by message id, cannot overtake the id being stored.
    std::lock_guard<std::mutex> lock(LockOf(c));
    if (!c.connected) return;
    for (u32 i = 0; i < c.subscriptionCount; ++i) {
        MqttSubscriptionState& s = c.subscriptions[i];
        MqttReceiveBlock& b = c.receive[i];
        if (s.subscribed || s.waiting) continue;
        if (std::memchr(b.topicFilter, 0, sizeof b.topicFilter) == nullptr || b.topicFilter[0] == 0) continue;
        int mid = 0;
        mosqErrno = lib.subscribe(c.client, &mid, b.topicFilter, static_cast<int>(b.qos));
        if (mosqErrno == 0) {
            b.messageId = static_cast<u32>(mid);
            s.waiting = 1;
            checkTimeout(&b.stamp, 0);
        }
    }
}

void Scan(MqttConnectionState& c, MqttPluginScan scan) {
    if (scan == nullptr) return;
    std::lock_guard<std::mutex> lock(LockOf(c));
    scan(c.number, c.publish, c.receive);
}

void SetConnectedBit(int i, bool on) { setMqttStatusReg(3 + static_cast<u32>(i), on ? 1 : 0, 1); }

void DestroyClient(MqttConnectionState& c) {
    if (c.client == nullptr) return;
    if (c.loopRunning) {
        lib.disconnect(c.client);
        lib.loopStop(c.client, false);
        c.loopRunning = 0;
    }
    lib.destroy(c.client);
    std::lock_guard<std::mutex> lock(LockOf(c));
    c.client = nullptr;
    c.connected = 0;
}

void RunStep(MqttConnectionState& c, int i) {
    if (Connected(c)) {
        if (g.reload) c.restart = 1;
        if (g.enable && !c.restart && !c.addressChanged) {
            if (c.role == kMqttRoleBoth || c.role == kMqttRoleSubscriber) {
                std::lock_guard<std::mutex> lock(LockOf(c));
                for (u32 k = 0; k < c.subscriptionCount; ++k)
                    if (c.subscriptions[k].waiting && checkTimeout(&c.receive[k].stamp, 30))
                        c.subscriptions[k].waiting = 0;
            }
            for (MqttPublishEntry& e : c.publish)
                if (e.state == kMqttEntrySent || e.errors > 2) {
                    e.state = kMqttEntryDone;
                    e.errors = 0;
                }
            Scan(c, c.plugin.scan);
            SetConnectedBit(i, true);
            SetState(c, kMqttPublish);
        } else {
            c.restart = 0;
            SetState(c, kMqttDisconnect);
        }
        return;
    }
    SetConnectedBit(i, false);
    if (g.enable) {
        if (!c.loopRunning) {
            SetState(c, kMqttCreate);
        } else if (c.addressChanged) {
            // The library keeps retrying the old broker: start over at the new one.
            SetState(c, kMqttDisconnect);
        } else {
            Scan(c, c.plugin.scan);
            SetState(c, kMqttPublish);
        }
    } else if (c.loopRunning) {
        SetState(c, kMqttLoopStop);
    }
}

void StepConnection(MqttConnectionState& c, int i) {
    u8 state, wait;
    {
        std::lock_guard<std::mutex> lock(LockOf(c));
        state = c.state;
        wait = c.waitReason;
    }
    // The states that talk to the library need its client.
    if (c.client == nullptr && state != kMqttCreate && state != kMqttDestroy && state != kMqttWait) {
        SetState(c, kMqttWait, kMqttWaitRun);
        return;
    }
    switch (state) {
        case kMqttCreate:
            DestroyClient(c);
            if (c.plugin.init != nullptr) c.plugin.init(&c.plugin.link);
            SetState(c, mqttClientInit(c) ? kMqttSettings : kMqttWait, kMqttWaitRun);
            break;
        case kMqttDestroy:
            DestroyClient(c);
            SetState(c, kMqttWait, kMqttWaitRun);
            break;
        case kMqttSettings:
            if (mqttClientSetConfig(c)) SetState(c, kMqttConnect);
            break;
        case kMqttConnect: {
            if (c.addressForm == 2 || c.addressForm == 4) {
                std::strcpy(c.address, "0.0.0.0");
                char resolved[kMqttTextChars] = {};
                const int r = dnsResolve(c.hostName, resolved);
                if (r == kDnsPending || r == kDnsStep) break;
                if (r != kDnsResolved) {
                    // "0.0.0.0" would reach this PC's own services: no attempt.
                    SetState(c, kMqttDestroy);
                    break;
                }
                std::snprintf(c.address, sizeof c.address, "%s", resolved);
            }
            c.addressChanged = 0;
            mosqErrno = lib.connectAsync(c.client, c.address, c.port, static_cast<int>(c.keepAlive));
            if (mosqErrno != 0) {
                SetState(c, kMqttDestroy);
                break;
            }
            checkTimeout(&c.connectStamp, 0);
            if (c.loopRunning)
                WaitForConnection(c);
            else
                SetState(c, kMqttLoopStart);
            break;
        }
        case kMqttDisconnect:
            lib.disconnect(c.client);
            checkTimeout(&c.disconnectStamp, 0);
            SetState(c, kMqttWait, kMqttWaitDisconnect);
            break;
        case kMqttLoopStart:
            if (lib.loopStart(c.client) == 0) {
                c.loopRunning = 1;
                WaitForConnection(c);
            } else {
                SetState(c, kMqttDestroy);
            }
            break;
        case kMqttLoopStop:
            // The thread ends only once the client is disconnecting.
            lib.disconnect(c.client);
            lib.loopStop(c.client, false);
            c.loopRunning = 0;
            SetState(c, kMqttDestroy);
            break;
        case kMqttPublish:
            PublishPass(c);
            SetState(c, kMqttSubscribe);
            break;
        case kMqttSubscribe:
            SubscribePass(c);
            SetState(c, kMqttWait, kMqttWaitRun);
            break;
        case kMqttWait:
            switch (wait) {
                case kMqttWaitConnect:
                    if (checkTimeout(&c.connectStamp, 20)) SetState(c, kMqttDisconnect);
                    break;
                case kMqttWaitDisconnect:
                    if (checkTimeout(&c.disconnectStamp, 10) || !Connected(c)) {
                        SetConnectedBit(i, false);
                        c.addressChanged = 0;
                        SetState(c, kMqttLoopStop);
                    }
                    break;
                case kMqttWaitConnected:
                    SetConnectedBit(i, true);
                    Scan(c, c.plugin.scanFirst);
                    SetState(c, kMqttPublish);
                    break;
                default: RunStep(c, i); break;
            }
            break;
        default: SetState(c, kMqttWait, kMqttWaitRun); break;
    }
}

void StatusBlock(MqttConnectionState& c, int i) {
    u32 received, queued;
    {
        std::lock_guard<std::mutex> lock(LockOf(c));
        received = c.receivedCount;
        queued = c.queued;
    }
    const u32 at = 80 + 96 * static_cast<u32>(i);
    setMqttStatusReg(at, c.publishCount, 32);
    setMqttStatusReg(at + 32, received, 32);
    setMqttStatusReg(at + 64, queued, 32);
    g.totalPublished += c.publishCount;
    g.totalReceived += received;
}

void CloseLibrary() {
    if (libHandle != nullptr) ::dlclose(libHandle);
    libHandle = nullptr;
    std::memset(&lib, 0, sizeof lib);
}

}  // namespace

// ---------------------------------------------------------------------------

int checkTimeout(u32* stamp, u32 seconds) {
    if (stamp == nullptr) return 0;
    const u32 now = NowSeconds();
    if (seconds == 0) {
        *stamp = now;
        return 0;
    }
    return now - *stamp >= seconds ? 1 : 0;
}

int createFile(const char* hostPath, const void* data, u32 length, unsigned mode) {
    // Written whole under a new name with its final mode from the start (a
    // private key is never readable by others), then renamed over the old.
    const std::string tmp = std::string(hostPath) + ".new";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return 0;
    bool ok = ::fchmod(fd, mode) == 0;
    const u8* p = static_cast<const u8*>(data);
    for (u32 done = 0; ok && p != nullptr && done < length;) {
        const ssize_t n = ::write(fd, p + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<u32>(n);
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tmp.c_str(), hostPath) == 0;
    if (!ok) {
        ::unlink(tmp.c_str());
        return 0;
    }
    File_SyncDirOf(hostPath);
    return data != nullptr && length != 0 ? 1 : 0;
}

void setMqttStatusReg(u32 bitOffset, u32 value, u32 bits) {
    if (g.statusReg == 0) return;
    brvqPlcRegSet(g.statusReg, bitOffset, &value, bits);
}

int readConfigNvram(int type) {
    return Mqtt_ReadTable(mqtt_tbl.Data(), std::min(mqtt_tbl.Size(), mqtt_tbl.capacity), mqtt_tbl.Crc(), type);
}

int Mqtt_ReadTable(const u8* body, u32 size, u16 crc, int type) {
    g.enable = 0;
    Table t{body, size, 0, 0};
    if (body == nullptr || t.size < kMqttMinBody) return 0;
    t.pool = t.U32(kMqttPoolAt);
    t.attach = t.U32(kMqttAttachAt);
    g.tableCrc = crc;
    g.tableSize = t.size;
    const u32 enableReg = t.U32(kMqttEnableRegAt);
    if (enableReg != 0) {
        u8 bit = 0;
        if (PlcReg_Get(&bit, enableReg, 1) == 1) g.enable = bit ? 1 : 0;
    }
    g.statusReg = t.U32(kMqttStatusRegAt);
    if (type == 3) setMqttStatusReg(0, 0, 16);
    setMqttStatusReg(1, 0, 1);
    setMqttStatusReg(0, 1, 1);
    const u32 recordsAt = u64{kMqttRecordsAt} + 2 <= t.size ? GetLe16(t.body + kMqttRecordsAt) : 0;
    u32 count = t.size > kMqttCountAt ? t.body[kMqttCountAt] : 0;
    count = std::min<u32>(count, kMqttConnectionsMax);
    if (recordsAt < t.size) count = std::min<u32>(count, (t.size - recordsAt) / kMqttRecordBytes);
    else count = 0;
    g.count = static_cast<u8>(count);
    for (u32 i = 0; i < count; ++i) {
        MqttConnectionState& c = g.conn[i];
        std::lock_guard<std::mutex> lock(locks[i]);
        FillConnection(c, static_cast<int>(i), t, t.body + recordsAt + kMqttRecordBytes * i, type);
    }
    setMqttStatusReg(1, 1, 1);
    return 1;
}

int dynamicLibInit() {
    if (libHandle != nullptr) return 1;
    void* h = ::dlopen(libName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
        const char* e = ::dlerror();
        std::printf("dynamicLibInit(): Cannot load MQTT library : %s\n", e ? e : "");
        return 0;
    }
    void* functions[kMqttLibFunctions];
    for (u32 i = 0; i < kMqttLibFunctions; ++i) {
        ::dlerror();
        functions[i] = ::dlsym(h, kLibNames[i]);
        const char* e = ::dlerror();
        if (e != nullptr || functions[i] == nullptr) {
            std::printf("dynamicLibInit(): Cannot find MQTT '%s' method in the DLL : %s\n", kLibNames[i], e ? e : "");
            ::dlclose(h);
            return 0;
        }
    }
    std::memcpy(&lib, functions, sizeof lib);
    libHandle = h;
    return 1;
}

void dlInitialize() {
    for (u32 i = 0; i < g.count; ++i) dlLoad(g.conn[i].plugin);
}

void mqttStateLoop() {
    if (SR_Get(5) != 2) return;
    if (Cmd_Downloading) {
        g.downloadSeen = 1;
        return;
    }
    if (wakeFd >= 0) {
        u64 drained;
        while (::read(wakeFd, &drained, sizeof drained) > 0) {
        }
    }
    if (g.downloadSeen) {
        for (MqttConnectionState& c : g.conn) dlClose(c.plugin);
        dlRemoveAll();
        g.downloadSeen = 0;
        g.reload = 1;
        g.readType = 3;
    }
    g.configValid = 0;
    for (int attempt = 0; attempt < 3 && !g.configValid; ++attempt)
        if (readConfigNvram(g.readType == 2 ? 2 : 3)) g.configValid = 1;
    if (g.configValid) g.readType = 2;

    if (g.libState == 0) {
        if (!g.configValid || !g.enable || g.libFailed) return;
        for (MqttConnectionState& c : g.conn) c.publishCount = 0;
        for (int i = 0; i < static_cast<int>(kMqttConnectionsMax); ++i) {
            std::lock_guard<std::mutex> lock(locks[i]);
            g.conn[i].receivedCount = 0;
        }
        if (!dynamicLibInit()) {
            g.libFailed = 1;
            return;
        }
        dlInitialize();
        lib.libInit();
        if (wakeFd < 0) wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        g.libState = 2;
        return;
    }
    if (!g.configValid) return;
    if (g.reload) {
        dlInitialize();
        for (u32 i = 0; i < g.count; ++i) SetState(g.conn[i], kMqttWait, kMqttWaitRun);
    }
    g.totalPublished = g.totalReceived = 0;
    for (u32 i = 0; i < g.count; ++i) {
        MqttConnectionState& c = g.conn[i];
        if (!c.plugin.loaded) continue;
        StepConnection(c, static_cast<int>(i));
        StatusBlock(c, static_cast<int>(i));
    }
    setMqttStatusReg(16, g.totalPublished, 32);
    setMqttStatusReg(48, g.totalReceived, 32);
    g.reload = 0;
}

void Mqtt_PollSet(std::vector<pollfd>& fds) {
    if (wakeFd >= 0) fds.push_back({wakeFd, POLLIN, 0});
}

const MqttClientState& Mqtt_State() { return g; }
MqttConnectionState& Mqtt_Connection(int index) { return g.conn[index]; }

void Mqtt_WithLock(int index, void (*f)(MqttConnectionState&, void*), void* context) {
    std::lock_guard<std::mutex> lock(locks[index]);
    f(g.conn[index], context);
}

void Mqtt_SetLibraryName(const char* name) {
    libName = name ? name : "libmosquitto.so";
    CloseLibrary();
}

void Mqtt_Reset() {
    for (MqttConnectionState& c : g.conn) {
        if (libHandle != nullptr) DestroyClient(c);
        dlClose(c.plugin);
    }
    if (libHandle != nullptr && g.libState == 2) lib.libCleanup();
    CloseLibrary();
    for (int i = 0; i < static_cast<int>(kMqttConnectionsMax); ++i) {
        std::lock_guard<std::mutex> lock(locks[i]);
        std::memset(static_cast<void*>(&g.conn[i]), 0, sizeof g.conn[i]);
    }
    std::memset(static_cast<void*>(&g), 0, offsetof(MqttClientState, conn));
    if (wakeFd >= 0) ::close(wakeFd);
    wakeFd = -1;
}
