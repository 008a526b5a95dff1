// A scripted fake of the RAID setup library for the program's tests: an
// in-memory device list and RAID device table, with a status to force on the
// next call.
#pragma once

#include <stdint.h>

#include "varneld.h"

// Clears the fake: no devices, no RAID devices, no forced status.
void varneldFakeReset();
// Sets the device list to `count` tape devices numbered 0..count-1.
void varneldFakeSetDevices(uint16_t count);
// Makes every following call return `status` until cleared with 0.
void varneldFakeFailWith(uint16_t status);
