#pragma once
// A USB-serial adapter's low-latency mode: received bytes are handed on at once instead of
// after the adapter's latency timer. Each system has its own (Linux: low_latency_linux.cpp).

namespace quorel {

// Asks the terminal on fd for low latency. True when the driver took it, with *savedFlags what
// RestoreLowLatency needs to put back; false when the device has no such setting.
bool SetLowLatency(int fd, int* savedFlags);
// Puts back the setting SetLowLatency changed.
void RestoreLowLatency(int fd, int savedFlags);

}  // namespace quorel
