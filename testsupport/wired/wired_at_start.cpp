// Linked into every test, benchmark and fuzz program: the controller's
// neighbour interfaces are wired as the firmware wires them before main
// runs, so a program starts from the real controller and replaces only what
// it fakes (and calls Wiring_Connect again to put the real entries back).
// The neighbour records are constant-initialised, so this constructor never
// races their own initialisation.
#include "core/wiring.h"

namespace {

struct WiredAtStart {
    WiredAtStart() { Wiring_Connect(); }
} g_wired;

}  // namespace
