// Data-log tables as the programming software downloads them, and the
// logger's and debug log's mailboxes served as the system update step
// serves them.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "core/nvram.h"
#include "core/plc_regs.h"
#include "storage/cfmgr.h"

namespace dlt {

struct Item {
    u32 reg;
    u32 type;
    std::string name;
};
struct Group {
    std::string sub;
    std::string folder = "\\LOG";
    u32 trigger = 0;
    u32 status = 0;
    u32 period = 0;
    u32 minutes = 0;
    u8 date = 11;
    u8 time = 1;
    std::vector<Item> items;
};
struct Table {
    u32 enable = 0;
    u32 status = 0;
    std::vector<Group> groups;
    u16 groupCount = 0xFFFF;  // as stored; 0xFFFF: the number of groups
};

inline void P16(std::vector<u8>& b, u32 at, u32 v) { PutLe16(b.data() + at, static_cast<u16>(v)); }
inline void P32(std::vector<u8>& b, u32 at, u32 v) { PutLe32(b.data() + at, v); }

inline std::vector<u8> Build(const Table& t) {
    std::vector<u8> b(24);
    std::string area;
    auto str = [&](const std::string& s) {
        u32 off = static_cast<u32>(area.size());
        area += s;
        return off;
    };
    for (const Group& g : t.groups) {
        u32 at = static_cast<u32>(b.size());
        b.resize(at + 44 + 16 * g.items.size());
        P16(b, at, str(g.sub));
        P32(b, at + 4, static_cast<u32>(g.sub.size()));
        P32(b, at + 8, g.trigger);
        P32(b, at + 12, g.status);
        P32(b, at + 16, g.period);
        P32(b, at + 20, g.minutes);
        P16(b, at + 24, str(g.folder));
        P16(b, at + 28, static_cast<u32>(g.folder.size()));
        b[at + 32] = g.date;
        b[at + 36] = g.time;
        P32(b, at + 40, static_cast<u32>(g.items.size()));
        for (size_t i = 0; i < g.items.size(); ++i) {
            u32 io = at + 44 + 16 * static_cast<u32>(i);
            P32(b, io, g.items[i].reg);
            P32(b, io + 4, g.items[i].type);
            P32(b, io + 8, str(g.items[i].name));
            P32(b, io + 12, static_cast<u32>(g.items[i].name.size()));
        }
    }
    b.insert(b.end(), area.begin(), area.end());
    if (b.size() < 84) b.resize(84);
    P32(b, 0, static_cast<u32>(b.size()));
    std::memcpy(b.data() + 4, "DLOG", 4);
    P32(b, 12, t.enable);
    P32(b, 16, t.status);
    P16(b, 22, t.groupCount == 0xFFFF ? static_cast<u32>(t.groups.size()) : t.groupCount);
    return b;
}

// Puts the table into the stored block as a download leaves it.
inline void Load(const std::vector<u8>& data) {
    std::memcpy(datalog_table.Data(), data.data(), data.size());
    datalog_table.SetHeader(crc16(data.data(), static_cast<u32>(data.size())), static_cast<u32>(data.size()));
}

// One of the simple mailboxes served as the system update step serves it.
class MailboxStep {
public:
    MailboxStep(u32 base, int (*load)(), tCFCB* slot) : base_(base), load_(load), slot_(slot) {}
    void Step() {
        u8* mb = dpram + base_;
        if (state_ == 0) {
            if (mb[0] != mb[1] && load_()) state_ = 2;
            return;
        }
        i32 result = 0;
        if (CFM_PollReq(slot_, &result) == kCfmComplete) {
            PutLe32(mb + 4, static_cast<u32>(result));
            mb[1] = mb[0];
            state_ = 0;
        }
    }

private:
    u32 base_;
    int (*load_)();
    tCFCB* slot_;
    int state_ = 0;
};

// The logger's and the debug log's mailboxes, then the media manager.
class LoggerPass {
public:
    void Pass() {
        logger_.Step();
        debug_.Step();
        CFM_Update();
        CFM_TheLoop();
    }

private:
    MailboxStep logger_{kDpramLogger, CFM_LoadLoggerReq, pLoggerCFCB};
    MailboxStep debug_{kDpramDbgLogger, CFM_LoadDBGLoggerReq, pDbgLoggerCFCB};
};

}  // namespace dlt
