// Process entry of the firmware: start-up in its order, then the main loop.
#pragma once

int PlcMain(int argc, char** argv);
