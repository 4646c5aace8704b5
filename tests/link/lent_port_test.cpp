// The serial port the link lends the IEC runtime, as the controller wires
// it: port 1 (/dev/ttySP4) when SR163 is 10, the USB port when the
// programming host is on USB, never the programming port /dev/ttySP3.
#include <unistd.h>

#include <string>

#include "iec/kernel/q4host.h"
#include "iec/kernel/q4link.h"
#include "iec/kernel/q4serial.h"

#include "link_fixture.h"
#include "testsupport/firmware_process.h"

namespace {

class LentPort : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        ASSERT_TRUE(port1.Open(root.Path("/dev/ttySP4")));
        SCI1_Init(1);  // opens the port now that the device is there
        Q4Link_Reset();
    }
    void TearDown() override {
        SR_Put(163, 0);
        Q4Link_Reset();
        LinkTest::TearDown();
    }
    LinkPty port1;
};

TEST_F(LentPort, RuntimeBorrowsPortOneOrTheUsbPortButNeverTheProgrammingPort) {
    struct Case {
        const char* what;
        u16 sr163;
        u32 host;
        int far;  // pty master expected to see the bytes, -1: no port lent
    } cases[] = {
        {"SR163 10 lends port 1", 10, kHostSerial, port1.Master()},
        {"SR163 0 would name the programming port", 0, kHostSerial, -1},
        {"an unknown selection lends nothing", 3, kHostSerial, -1},
        {"the programming host on USB lends the USB port", 0, kHostUsb, usb.Master()},
        {"USB wins over SR163 10", 10, kHostUsb, usb.Master()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SR_Put(163, c.sr163);
        Vcomm_Host = c.host;
        int h;
        Q4Serial_Initialize(&h);
        EXPECT_EQ(Q4Serial_Open(&h, "9600,N,8,1"), 1);
        if (c.far < 0) {
            EXPECT_FALSE(Q4Serial_IsValid(&h));
            EXPECT_EQ(Q4Serial_Send(&h, 2, reinterpret_cast<const u8*>("Q4")), 0u);
            continue;
        }
        ASSERT_TRUE(Q4Serial_IsValid(&h));
        EXPECT_EQ(Q4Serial_Send(&h, 5, reinterpret_cast<const u8*>("Q4abc")), 5u);
        EXPECT_EQ(ReadFar(c.far, 5), "Q4abc");
        ASSERT_EQ(::write(c.far, "Q4xy", 4), 4);
        u8 in[16] = {};
        u32 n = 0;
        EXPECT_TRUE(WaitUntil([&] { return (n = Q4Serial_Receive(&h, sizeof in, in)) != 0; }, kPtyGuardMs));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(in), n), "Q4xy");
        Q4Serial_Close(&h);
        // Closing gives the port back to its owner, which keeps it open.
        EXPECT_FALSE(Q4Serial_IsValid(&h));
    }
    // Nothing the runtime sent reached the programming port: its host reads
    // the answer to its own request first.
    ExpectNothingBeforeTheNextAnswer(*host);
}

TEST_F(LentPort, ProgrammingSoftwareOnTheBorrowedPortGivesTheLinkBack) {
    // The workbench takes the programming port over; the runtime speaks on
    // port 1.
    EXPECT_EQ(host->Ask(38, {kNode}), 0xA0);
    ASSERT_EQ(Vcomm_Drv[0].mode[kSomProto] & 0x0F, kProtoWorkbench);
    ASSERT_EQ(is_q4protocol, 1u);
    SR_Put(163, 10);
    Vcomm_Host = kHostSerial;
    int h;
    Q4Serial_Initialize(&h);
    Q4Serial_Open(&h, nullptr);
    ASSERT_TRUE(Q4Serial_IsValid(&h));
    ASSERT_EQ(::write(port1.Master(), "ZJ\x01\x02", 4), 4);
    u8 in[16];
    EXPECT_TRUE(WaitUntil(
        [&] {
            EXPECT_EQ(Q4Serial_Receive(&h, sizeof in, in), 0u);
            return !Q4Serial_IsValid(&h);
        },
        kPtyGuardMs));
    EXPECT_EQ(is_q4protocol, 0u);
    EXPECT_EQ(IsCommMode_Tovra, 1);
    EXPECT_EQ(Vcomm_Drv[0].mode[kSomProto] & 0x0F, kProtoProgramming);
    EXPECT_EQ(Vcomm_Drv[0].mode[kSomBaud], tovra_mode[kSomBaud]);
    // The controller's Modbus set-up is told to give the application's port
    // protocol back at its next initialisation.
    EXPECT_EQ(q4runtime_modbusinit, 1);
    // The programming protocol answers on its port again.
    EXPECT_TRUE(host->Request(1, {kNode}).frame);
}

}  // namespace
