// Prepares a root for a controller that starts with a downloaded network
// configuration in a chosen controller mode: a first start makes the stored
// images, then the I/O configuration (with the network streams) goes into
// config.pgm and the mode into the register image.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/bytes.h"

class FirmwareProcess;

// rootDir is the host folder of the controller's root; setup gives the
// first start the environment (and namespace) the controller will run with.
// False, with the reason in *why, when a step fails.
bool NetPrepareController(const std::string& rootDir, const std::vector<u8>& ioConfig, u16 mode,
                          const std::function<void(FirmwareProcess&)>& setup, std::string* why);
