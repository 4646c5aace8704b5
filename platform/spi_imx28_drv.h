// SPI transactions with the board's I/O logic over an SSP port. In this
// system no bus is ever selected, so every transaction leaves its value
// unchanged; the port set-up is kept for a board that selects one.
#pragma once

#include "platform/bytes.h"

// Which SSP port and chip select the I/O logic sits on (bus 0 = none).
struct SpiUsage {
    u8 bus;         // 0 none, 1 SSP1, 2 or 3 SSP2
    u8 chipSelect;  // SSP1: 1 or 2; SSP2: 1, 3 or 4
};
static_assert(sizeof(SpiUsage) == 2);
extern SpiUsage spi_usage;

// SSP set-up record: bus, mode (bit 0 polarity, bit 1 phase), clock index
// 1-12, pin option.
struct SpiSetup {
    u8 bus, mode, clock, pins;
};
static_assert(sizeof(SpiSetup) == 4);

// One transaction: 4-byte header (1 read / 2 write, length, register high,
// register low), then `length` (1-4) bytes of value, least significant
// first. Returns the value read or written; with no bus selected the value
// comes back unchanged.
u32 spi_data_RD_nWR(u32 value, u16 reg, int length, int read);
void spi_enable_cs(const SpiUsage& usage);
void spi_disable_cs(const SpiUsage& usage);
// Moves up to 4 bytes; 1 on success, 0 when a wait gave up.
int spi_data_trans(int bus, u8* data, int length, int read);
int spi_init(const SpiSetup& setup);
void spi_close(int bus);
void Fpga_Init();
void Fpga_Close();
// Forgets the port state (tests).
void Spi_Reset();
