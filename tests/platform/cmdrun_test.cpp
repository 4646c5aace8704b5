#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/board.h"
#include "platform/cmdrun.h"
#include "platform/root.h"
#include "testsupport/fw_media.h"
#include "testsupport/temp_root.h"

namespace fs = std::filesystem;

namespace {

class CmdRunTest : public ::testing::Test {
protected:
    void SetUp() override { SysCmd_Reset(); }
    void TearDown() override {
        SysCmd_Reset();
        Board_Close();
    }

    // Firmware-path helpers inside the root.
    void Put(const std::string& fw, const std::string& text) { FwPut(fw, text); }
    std::string Get(const std::string& fw) { return FwGet(fw); }
    bool Exists(const std::string& fw) { return FwExists(fw); }
    bool IsDir(const std::string& fw) { return fs::is_directory(Root_HostPath(fw)); }

    TempRoot root_;
};

}  // namespace

TEST_F(CmdRunTest, FileCommandsActInsideTheRoot) {
    struct Case {
        const char* line;
        int status;
        std::vector<std::pair<std::string, std::string>> expect;  // path -> content, "<dir>", "<missing>"
    } cases[] = {
        {"mkdir /mnt/USB0/new", 0, {{"/mnt/USB0/new", "<dir>"}}},
        {"mkdir /mnt/USB0/x/y", 1, {{"/mnt/USB0/x", "<missing>"}}},
        {"mkdir -p /mnt/USB0/x/y", 0, {{"/mnt/USB0/x/y", "<dir>"}}},
        {"mkdir /mnt/USB0/d", 1, {{"/mnt/USB0/d/f", "F"}}},  // exists
        {"cp /mnt/USB0/f.txt /mnt/cfg/g.txt", 0, {{"/mnt/cfg/g.txt", "hello"}, {"/mnt/USB0/f.txt", "hello"}}},
        {"cp /mnt/USB0/f.txt /mnt/cfg/", 0, {{"/mnt/cfg/f.txt", "hello"}}},
        {"cp /mnt/USB0/f.txt /mnt/USB0/d/f", 0, {{"/mnt/USB0/d/f", "hello"}}},  // replaces
        {"cp /mnt/USB0/d /mnt/cfg/", 1, {{"/mnt/cfg/d", "<missing>"}}},        // directory needs -r
        {"cp -r /mnt/USB0/d /mnt/cfg/", 0, {{"/mnt/cfg/d/f", "F"}, {"/mnt/cfg/d/sub/g", "G"}}},
        {"cp -rf /mnt/USB0/d /mnt/USB0/d/sub", 1, {{"/mnt/USB0/d/sub/d", "<missing>"}}},  // into itself
        {"cp /mnt/USB0/none /mnt/cfg/x", 1, {{"/mnt/cfg/x", "<missing>"}}},
        {"nice -n 10 cp /mnt/USB0/f.txt /mnt/USB1/", 0, {{"/mnt/USB1/f.txt", "hello"}}},
        {"cp /mnt/USB/vtx510n  /mnt/firm/firmware", 0, {{"/mnt/firm/firmware", "FW"}}},
        {"rm /mnt/firm/*", 0, {{"/mnt/firm/a", "<missing>"}, {"/mnt/firm/b.x", "<missing>"}, {"/mnt/firm", "<dir>"}}},
        {"rm /mnt/firm/*.x", 0, {{"/mnt/firm/a", "A"}, {"/mnt/firm/b.x", "<missing>"}}},
        {"rm /mnt/USB0/none", 1, {}},
        {"rm -f /mnt/USB0/none /mnt/USB0/f.txt", 0, {{"/mnt/USB0/f.txt", "<missing>"}}},
        {"rm /mnt/USB0/d", 1, {{"/mnt/USB0/d/f", "F"}}},
        {"nice -n 10 rm -rf /mnt/USB0/d", 0, {{"/mnt/USB0/d", "<missing>"}, {"/mnt/USB0", "<dir>"}}},
        {"mv /mnt/USB0/f.txt /mnt/USB1/h.txt", 0, {{"/mnt/USB1/h.txt", "hello"}, {"/mnt/USB0/f.txt", "<missing>"}}},
        {"mv /mnt/USB0/d /mnt/USB0/d/sub", 1, {{"/mnt/USB0/d/f", "F"}}},
        {"echo 10 >  /proc/sys/vm/dirty_writeback_centisecs", 0, {{"/proc/sys/vm/dirty_writeback_centisecs", "10\n"}}},
        {"echo a > /dev/shm/x; echo b >> /dev/shm/x", 0, {{"/dev/shm/x", "a\nb\n"}}},
        {"echo -n 'a  b' \"c\\\"d\" $HOME>/dev/shm/q", 0, {{"/dev/shm/q", "a  b c\"d $HOME"}}},
        {"echo x > /dev/null", 0, {}},
        {"echo x > /mnt/USB0/nodir/y", 1, {{"/mnt/USB0/nodir", "<missing>"}}},
        {"uname -a > /dev/shm/rev.txt", 0, {{"/dev/shm/rev.txt", "Linux plc 4.1.15 #1 PREEMPT armv5tejl GNU/Linux\n"}}},
        {"killall -9 inetd 2>/dev/null", 0, {}},
        {"sync", 0, {}},
        {"mkfs.vfat -I /dev/mmcblk0p1 > /dev/shm/a", 0,
         {{"/mnt/USB0", "<dir>"}, {"/mnt/USB0/f.txt", "<missing>"}, {"/mnt/USB0/d", "<missing>"}, {"/dev/shm/a", ""}}},
        {"mkfs.vfat -I /dev/sda1", 1, {}},  // no such device
        {"mkdir /dev/shm/update && echo ok > /dev/shm/update/m", 0, {{"/dev/shm/update/m", "ok\n"}}},
        {"echo a > /dev/shm/n1 # first\n\n echo b > /dev/shm/n2", 0, {{"/dev/shm/n1", "a\n"}, {"/dev/shm/n2", "b\n"}}},
    };
    for (const Case& c : cases) {
        // Each case starts from the same tree.
        fs::remove_all(root_.Dir());
        ASSERT_TRUE(Root_Init());
        Put("/mnt/USB0/f.txt", "hello");
        Put("/mnt/USB0/d/f", "F");
        Put("/mnt/USB0/d/sub/g", "G");
        Put("/mnt/USB/vtx510n", "FW");
        Put("/mnt/firm/a", "A");
        Put("/mnt/firm/b.x", "B");
        Put("/dev/mmcblk0p1", "");
        EXPECT_EQ(SysCmd_Run(c.line), c.status) << c.line;
        for (const auto& [path, want] : c.expect) {
            if (want == "<dir>")
                EXPECT_TRUE(IsDir(path)) << c.line << ": " << path;
            else
                EXPECT_EQ(Get(path), want) << c.line << ": " << path;
        }
    }
}

TEST_F(CmdRunTest, NothingLeavesTheRoot) {
    // A folder beside the root that a command could reach if paths escaped.
    std::string outside = root_.Dir() + "-outside";
    fs::create_directories(outside);
    std::ofstream(outside + "/keep") << "keep";
    Put("/mnt/USB0/f.txt", "hello");
    fs::create_directory_symlink(outside, Root_HostPath("/mnt/USB0/link"));
    Put("/mnt/USB0/tree/f", "f");
    fs::create_directory_symlink(outside, Root_HostPath("/mnt/USB0/tree/out"));
    std::string probe = "/tmp/plc-cmdrun-probe-" + std::to_string(getpid());
    std::string esc = "../../../../../../.." + outside;

    const std::string lines[] = {
        "mkdir " + esc + "/made",
        "mkdir -p /mnt/USB0/../../../.." + outside + "/made2",
        "cp /mnt/USB0/f.txt " + esc + "/copied",
        "cp /mnt/USB0/f.txt /mnt/USB0/link/copied",
        "cp -r /mnt/USB0/link /mnt/USB1/",
        "echo x > " + esc + "/echoed",
        "echo x > /mnt/USB0/link/echoed",
        "rm -rf /mnt/USB0/link/keep",
        "rm -rf /mnt/USB0/link/*",
        "mv /mnt/USB0/f.txt /mnt/USB0/link/moved",
        "touch " + probe + "; echo after > /dev/shm/after",
        "echo $(touch " + probe + ") `touch " + probe + "` > /dev/shm/subst",
        "mkfs.vfat /dev/../../" + outside,
    };
    for (const std::string& l : lines) SysCmd_Run(l.c_str());
    // A tree with a link in it is copied without the link.
    EXPECT_EQ(SysCmd_Run("cp -r /mnt/USB0/tree /mnt/USB1/"), 1);
    EXPECT_EQ(Get("/mnt/USB1/tree/f"), "f");
    EXPECT_FALSE(Exists("/mnt/USB1/tree/out"));
    EXPECT_EQ(SysCmd_Run("echo x > /mnt/USB1/tree/out/y"), 1);
    EXPECT_EQ(SysCmd_Run("rm -rf /"), 1);
    EXPECT_EQ(SysCmd_Run("rm -rf /mnt/USB0/../../.."), 1);
    EXPECT_EQ(SysCmd_Run("rm -rf ."), 1);

    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(outside)) found.push_back(e.path().filename().string());
    EXPECT_EQ(found, std::vector<std::string>{"keep"});
    EXPECT_FALSE(fs::exists(probe));
    EXPECT_FALSE(Exists(probe));  // recorded, not run, even inside the root
    EXPECT_EQ(Get("/dev/shm/after"), "after\n");
    EXPECT_EQ(Get("/dev/shm/subst"), "$(touch " + probe + ") `touch " + probe + "`\n");
    EXPECT_TRUE(IsDir("/mnt/cfg"));  // the root survived
    EXPECT_EQ(Get("/mnt/USB0/f.txt"), "hello");
    // Lexical ".." stays below the root: this lands inside it.
    EXPECT_TRUE(IsDir(outside + "/made2"));
    fs::remove_all(outside);
}

TEST_F(CmdRunTest, RecordsEveryCommandAndFailsTheOnesAskedTo) {
    const char* lines[] = {
        "killall cp",
        "flash_eraseall /dev/mtd0",
        "kobs-ng init /mnt/USB0/qmkern.sb",
        "ubiformat /dev/mtd1 -q",
        "ip link set can0 down",
        "reboot",
        "mkdir /dev/shm/d",
    };
    for (const char* l : lines) EXPECT_EQ(SysCmd_Run(l), 0) << l;
    std::vector<std::string> want(std::begin(lines), std::end(lines));
    EXPECT_EQ(SysCmd_Log(), want);

    SysCmd_ClearLog();
    SysCmd_SetFailing("flash_eraseall", true);
    SysCmd_SetFailing("cp", true);
    Put("/mnt/USB0/f", "x");
    struct {
        const char* line;
        int status;
    } cases[] = {
        {"flash_eraseall /dev/mtd0", 1},
        {"kobs-ng init /mnt/USB0/qmkern.sb", 0},
        {"cp /mnt/USB0/f /mnt/USB0/g", 1},
        {"nice -n 10 cp /mnt/USB0/f /mnt/USB0/g", 1},
        {"flash_eraseall /dev/mtd0 && echo x > /dev/shm/and", 1},
        {"flash_eraseall /dev/mtd0 || echo x > /dev/shm/or", 0},
        {"reboot; flash_eraseall /dev/mtd0", 1},
        {"", 0},
        {"echo 'unclosed", 2},
        {"&& reboot", 2},
        {"reboot |", 2},
        {"echo >", 2},
    };
    for (const auto& c : cases) EXPECT_EQ(SysCmd_Run(c.line), c.status) << c.line;
    EXPECT_FALSE(Exists("/mnt/USB0/g"));
    EXPECT_FALSE(Exists("/dev/shm/and"));
    EXPECT_TRUE(Exists("/dev/shm/or"));
    EXPECT_EQ(SysCmd_Log().size(), std::size(cases));

    // The list lives in the root, so a controller started later sees it.
    EXPECT_EQ(Get(kSysCmdFailPath), "flash_eraseall\ncp\n");
    SysCmd_SetFailing("flash_eraseall", false);
    EXPECT_EQ(SysCmd_Run("flash_eraseall /dev/mtd0"), 0);
}

TEST_F(CmdRunTest, MountMarksDrivesPresentAndAbsent) {
    const char* cardMount = "mount -o umask=002,gid=$(id -g ftp| awk '{print $1}') /dev/mmcblk0p1 /mnt/USB0";
    EXPECT_EQ(SysCmd_Run(cardMount), 32);  // no card in the slot
    EXPECT_FALSE(SysCmd_IsMounted("/mnt/USB0"));

    Put("/dev/mmcblk0p1", "");
    Put("/mnt/USB0/keep", "k");
    struct {
        const char* line;
        int status;
        bool usb0;
    } steps[] = {
        {"mount -o remount,rw /dev/mmcblk0p1 /mnt/USB0", 32, false},
        {cardMount, 0, true},
        {cardMount, 32, true},  // already mounted
        {"mount -o remount,rw /dev/mmcblk0p1 /mnt/USB0", 0, true},
        {"mkfs.vfat -I /dev/mmcblk0p1", 1, true},  // refused while mounted
        {"umount /mnt/USB0", 0, false},
        {"umount /mnt/USB0", 32, false},
        {"mount -t vfat /dev/mmcblk0p1 /mnt/USB0/", 0, true},
        {"umount /dev/mmcblk0p1", 0, false},
    };
    for (const auto& s : steps) {
        EXPECT_EQ(SysCmd_Run(s.line), s.status) << s.line;
        EXPECT_EQ(SysCmd_IsMounted("/mnt/USB0"), s.usb0) << s.line;
    }
    EXPECT_EQ(Get("/mnt/USB0/keep"), "k");  // mounting keeps the medium's files

    EXPECT_EQ(SysCmd_Run("mount -t ubifs ubi0:firm /mnt/firm"), 0);
    EXPECT_TRUE(IsDir("/mnt/firm"));
    EXPECT_EQ(SysCmd_MountedDevice("/mnt/firm"), "ubi0:firm");
    EXPECT_EQ(SysCmd_MountedDevice("/mnt/USB1"), "");

    // The file layer marks its own mounts the same way.
    EXPECT_TRUE(SysCmd_MarkMounted("/dev/sda1", "/mnt/USB1", "vfat"));
    EXPECT_FALSE(SysCmd_MarkMounted("/dev/sdb1", "/mnt/USB1", "vfat"));
    EXPECT_TRUE(SysCmd_IsMounted("/mnt/USB1"));
    EXPECT_EQ(Get("/proc/mounts"), "ubi0:firm /mnt/firm ubifs rw 0 0\n/dev/sda1 /mnt/USB1 vfat rw 0 0\n");
    EXPECT_TRUE(SysCmd_MarkUnmounted("/mnt/USB1"));
    EXPECT_FALSE(SysCmd_MarkUnmounted("/mnt/USB1"));
}

namespace {
std::vector<std::string> g_seen;
int RebootHandler(int argc, const char* const* argv, std::string* out) {
    g_seen.assign(argv, argv + argc);
    *out += "going down\n";
    return 3;
}
}  // namespace

TEST_F(CmdRunTest, ArgvFormHandlersAndAnswers) {
    const char* argv[] = {"mkdir", "-p", "/mnt/USB0/with space/x;y", nullptr};
    EXPECT_EQ(SysCmd_RunArgv(3, argv), 0);
    EXPECT_TRUE(IsDir("/mnt/USB0/with space/x;y"));
    EXPECT_EQ(SysCmd_Log().back(), "mkdir -p '/mnt/USB0/with space/x;y'");

    SysCmd_SetHandler("reboot", RebootHandler);
    EXPECT_EQ(SysCmd_Run("reboot -f > /dev/shm/r"), 3);
    EXPECT_EQ(g_seen, (std::vector<std::string>{"reboot", "-f"}));
    EXPECT_EQ(Get("/dev/shm/r"), "going down\n");

    SysCmd_SetOutput("uname", "Linux x 2.6.35 #1\n");
    SysCmd_SetOutput("id", "1000\n");
    EXPECT_EQ(SysCmd_Run("uname -a > /dev/shm/u; id -g ftp > /dev/shm/i"), 0);
    EXPECT_EQ(Get("/dev/shm/u"), "Linux x 2.6.35 #1\n");
    EXPECT_EQ(Get("/dev/shm/i"), "1000\n");
    SysCmd_SetOutput("uname", nullptr);
    SysCmd_SetOutput("id", nullptr);
    EXPECT_EQ(SysCmd_Run("uname -a > /dev/shm/u; id -g ftp > /dev/shm/i"), 0);
    EXPECT_EQ(Get("/dev/shm/u"), "Linux plc 4.1.15 #1 PREEMPT armv5tejl GNU/Linux\n");
    EXPECT_EQ(Get("/dev/shm/i"), "");
}
