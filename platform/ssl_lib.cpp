#include "platform/ssl_lib.h"

#include <dlfcn.h>

#include <mutex>
#include <string>

namespace {

struct State {
    std::mutex lock;
    void* handle = nullptr;
    std::string name = "libssl.so";
};

State& S() {
    static State s;
    return s;
}

}  // namespace

int SslLib_Resolve(SslLibEntry* table, int count) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    // RTLD_LAZY: only the looked-up functions need to resolve.
    if (!s.handle) s.handle = dlopen(s.name.c_str(), RTLD_LAZY);
    if (!s.handle) return -1;
    for (int i = 0; i < count; ++i) {
        table[i].function = dlsym(s.handle, table[i].name);
        if (!table[i].function) return -2;
    }
    return 0;
}

void SslLib_SetName(const char* name) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.handle) dlclose(s.handle);
    s.handle = nullptr;
    s.name = name ? name : "libssl.so";
}
