// GPIO pins, buttons and LEDs of the board, as the firmware uses them.
//
// The bank calls read and drive the five GPIO banks; the named calls do the
// set-ups and line changes the firmware makes, so no module above the board
// computes a pin-control or clock-block address itself. The bank calls and
// the button and LED views are kept in the board record (platform/board.cpp).
#pragma once

#include "platform/bytes.h"

constexpr int kGpioBanks = 5;

// Board wiring of the pins the rest of the system uses.
constexpr int kButtonRunBank = 0, kButtonRunPin = 21;    // active low
constexpr int kButtonLoadBank = 1, kButtonLoadPin = 2;   // active low
constexpr int kLedABank = 4, kLedAPin = 5;               // on while the pin is high
constexpr int kLedBBank = 4, kLedBPin = 13;
constexpr int kOption0Bank = 3, kOption0Pin = 14;
constexpr int kOption1Bank = 2, kOption1Pin = 27;
constexpr int kIoEnableBank = 0, kIoEnablePin = 17;      // the I/O modules' enable and write line

// ---------------------------------------------------------------------------
// Banks 0-4. Bits outside the mask are left as they are.

u32 Board_GpioOut(int bank);
void Board_GpioOutSet(int bank, u32 mask);
void Board_GpioOutClear(int bank, u32 mask);
u32 Board_GpioIn(int bank);
u32 Board_GpioDir(int bank);  // output enables
void Board_GpioDirSet(int bank, u32 mask);
void Board_GpioDirClear(int bank, u32 mask);
// The outside world drives input pins: bits of mask take the bits of value.
void Board_SetGpioInput(int bank, u32 mask, u32 value);

// ---------------------------------------------------------------------------
// Buttons and LEDs.

enum class BoardButton { Run = 0, Load = 1 };
void Board_PressButton(BoardButton button, bool pressed);
bool Board_ButtonPressed(BoardButton button);

// LED 0 is LED A (OK state), LED 1 is LED B (run state); true when lit.
bool Board_Led(int led);

// ---------------------------------------------------------------------------
// Set-ups and lines.

// Start-up of the panel: PLL0 on and the clock words that drive the LED
// bank, the pin functions and drive strengths of the buttons, the option
// outputs and the LED bank.
void Gpio_SetupPanelClocksAndPins();
// The pin functions and drive strength of the option-1 output and its
// neighbours, set once the power-fail signal is taken.
void Gpio_SetupOption1Pins();
// Makes the I/O modules' enable and write line a GPIO output, driven high.
void Gpio_SetupIoEnableLine();
// Drives the I/O modules' enable and write line.
void Gpio_DriveIoEnable(bool high);
