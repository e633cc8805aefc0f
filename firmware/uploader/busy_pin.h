// Busy indicator on PA2: driven high while the uploader waits for commands,
// low while a command runs.
#pragma once

extern "C" {
void busy_pin_init();
void busy_pin_assert();
void busy_pin_release();
}
