#include "testsupport/fuzz_env.h"

#include <cstdlib>
#include <string>

#include "platform/clock.h"
#include "platform/root.h"

void FuzzEnv_Init(const char* prefix) {
    static bool done = false;
    if (done) return;
    done = true;
    std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
    const char* d = mkdtemp(tmpl.data());
    setenv("PLC_ROOT", d != nullptr ? d : "/tmp", 1);
    Root_Init();
    Clock_UseManual(1000000000000ull, 1614945600ll * 1000000000ll);
}
