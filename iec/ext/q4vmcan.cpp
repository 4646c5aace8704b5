#include "iec/ext/q4vmcan.h"

#include <cstring>

namespace {

constexpr size_t kKept = 16;

struct State {
    std::vector<Q4VMCanAppMsg> requests;
};
State g;

}  // namespace

int Q4VMCan_SendAppMsg(u8*, const char* port, u32 id, u32 length, const u8* data, int flag) {
    Q4VMCanAppMsg m;
    m.port = port ? std::string(port, strnlen(port, 255)) : std::string();
    m.id = id;
    m.length = length;
    m.flag = flag ? 1 : 0;
    if (length <= kQ4CanMaxData && data) m.data.assign(data, data + length);
    // No CAN definition is built into the database yet: no port has a send list.
    m.result = 0;
    if (g.requests.size() == kKept) g.requests.erase(g.requests.begin());
    g.requests.push_back(m);
    return m.result;
}

const std::vector<Q4VMCanAppMsg>& Q4VMCan_AppMsgRequests() { return g.requests; }

void Q4VMCan_ResetAppMsgRequests() { g = State{}; }
