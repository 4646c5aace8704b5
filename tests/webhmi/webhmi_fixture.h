// Fresh web-HMI toolkit state for one test: default options, an empty buffer
// pool, free worker slots, and every error report captured.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "darTUsdk/dartusdk/dartu_buffer.h"
#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_options.h"

class WebHmiTest : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> lock(LogMutex());
            Log().clear();
        }
        dartu_options_set_oem_variant(0);
        dartu_options_initialize();
        dartu_global_options()->error_log = &WebHmiTest::Capture;
        dartu_callbacks_clear();
        dartu_init_global_context_server();
        dartu_init_global_context_buff();
    }
    void TearDown() override {
        dartu_free_global_context_buff();
        dartu_free_global_context_server();
        dartu_options_free();
    }

public:
    // What the error log recorded, and the recording callback (other
    // fixtures of the server use them as well).
    static std::vector<std::string> Logged() {
        std::lock_guard<std::mutex> lock(LogMutex());
        return Log();
    }
    static int CountLogged(const std::string& text) {
        int n = 0;
        for (const std::string& s : Logged()) n += s == text;
        return n;
    }

    static void Capture(const char* text) {
        std::lock_guard<std::mutex> lock(LogMutex());
        Log().push_back(text);
    }

private:
    static std::vector<std::string>& Log() {
        static std::vector<std::string> log;
        return log;
    }
    static std::mutex& LogMutex() {
        static std::mutex m;
        return m;
    }
};
