// The programming link with serial port 1 on a pty as well, and the
// program-controlled port modules, the modem engine and the interpreter
// clean: the fixture of the TALK and modem tests.
#pragma once

#include "ladder/ladder_engine.h"
#include "link/modem.h"
#include "link/talk.h"

#include "link_fixture.h"

class Port1Test : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        ASSERT_TRUE(port1.Open(root.Path("/dev/ttySP4")));
        SCI1_Init(1);
        Clean();
    }
    void TearDown() override {
        Clean();
        talkPeers = TalkPeers{};
        LinkTest::TearDown();
    }
    static void Clean() {
        Talk_Reset();
        Modem_Reset();
        Ladder_Reset();
    }

    LinkPty port1;
};
