// The one place where the controller is put together.
//
// Every neighbour interface of a lower module is filled in here with the
// modules of this controller, and the services the main loop steps are
// listed here. Tests wire their fakes through the same records, after
// Wiring_Connect, and put the real entries back by calling it again.
#pragma once

#include <string>
#include <vector>

// Fills every neighbour interface with this controller's modules.
void Wiring_Connect();

// Names ("record.entry") of the required neighbour entries that are empty;
// none when the controller is whole.
std::vector<std::string> Wiring_Missing();
