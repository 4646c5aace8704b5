#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <vector>

#include "iec/kernel/q4opcodes.h"
#include "iec/kernel/q4vmcyc.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmtic.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

// Code from outside is hostile: streams of real and made-up instructions
// with operands that mostly fit and sometimes do not. Whatever the verifier
// lets through must run without touching memory outside the database (the
// sanitizer build turns any such access into a failed child). A stream may
// loop forever, as a real program may: such a child is simply ended.
std::vector<u16> RandomStream(std::mt19937& r) {
    std::vector<u16> w;
    int n = 1 + static_cast<int>(r() % 12);
    for (int k = 0; k < n; ++k) {
        u16 op = (r() % 5 == 0) ? static_cast<u16>(r() % 600) : static_cast<u16>(1 + r() % kQ4OpMax);
        const Q4OpInfo& info = Q4Op_Info(op);
        w.push_back(op);
        int len = info.name ? info.words - 1 : static_cast<int>(r() % 3);
        for (int i = 0; i < len; ++i) {
            u16 v = (r() % 8 == 0) ? static_cast<u16>(r()) : static_cast<u16>(r() % 6);
            if (info.countAt && i + 1 == info.countAt) v = static_cast<u16>(r() % 4);
            w.push_back(v);
        }
        if (info.countAt) {
            u16 cnt = w[w.size() - len + info.countAt - 1];
            for (u16 i = 0; i < cnt; ++i) w.push_back(static_cast<u16>(r() % 6));
        }
    }
    w.push_back(234);
    return w;
}

TEST(TicRandom, VerifiedStreamsStayInsideTheDatabase) {
    std::mt19937 r(20261210);
    int built = 0, looped = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<u16> code = RandomStream(r);
        IecImageBuilder b;
        for (u16 t : {kQ4TypeBool, kQ4TypeInt, kQ4TypeDint, kQ4TypeLint, kQ4TypeTime, kQ4TypeReal})
            for (int k = 0; k < 4; ++k) b.Var(t, k);
        b.String(4, "ab");
        b.String(6, "xyz");
        b.CtSegment(32, 32).ActiveTimers(3).CallStackSize(3);
        b.Program(code);
        b.Program({234}, 2);
        std::vector<u8> img = b.Build();
        u32 sizing = GetLe32(img.data() + 4 * kQ4HdrSizing);
        PutLe16(img.data() + sizing + kQ4SizeSteps, 2);
        PutLe16(img.data() + sizing + kQ4SizeTrans, 2);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            alarm(2);
            IecVmDb db(img);
            if (db.Result() == 0) {
                for (u32 now = 1; now < 5; ++now) Q4VM_Cycle(db.Db(), now * 7);
                // The same words through the execution buffer.
                u8* st = db.Status();
                Q4VMTic_Run(db.Db(), st, reinterpret_cast<const u8*>(code.data()), static_cast<u32>(2 * code.size()), 0);
                _exit(10);
            }
            _exit(11);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
            ++looped;
            continue;
        }
        ASSERT_TRUE(WIFEXITED(status)) << "round " << round << " signal " << WTERMSIG(status);
        ASSERT_TRUE(WEXITSTATUS(status) == 10 || WEXITSTATUS(status) == 11) << "round " << round;
        built += WEXITSTATUS(status) == 10;
    }
    EXPECT_GT(built, 20);  // enough streams pass the verifier to exercise the interpreter
    RecordProperty("looped", looped);
}

}  // namespace
