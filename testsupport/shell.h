// Runs a host command line through the shell for tests that drive host
// tools (ip, tshark, openssl ...) beside the controller.
#pragma once

#include <string>

// Standard output and standard error of the command together; the wait
// status of the shell in *status when given.
std::string Shell(const std::string& command, int* status = nullptr);
