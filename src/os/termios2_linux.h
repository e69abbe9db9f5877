#pragma once
// Exact line speeds on Linux. The kernel's termios2 record takes any speed as a number
// (BOTHER), where the classic interface knows only a fixed list that lacks 28800, 14400 and
// 1000. The kernel header that defines the record clashes with the C library's <termios.h>,
// so these calls live in a translation unit of their own and take a plain descriptor.
#include <cstdint>

namespace quorel {

// Sets both directions of the terminal on fd to bitsPerSecond and leaves every other setting
// as it is. Returns 0, or the errno of the call that failed.
int SetExactLineSpeed(int fd, uint32_t bitsPerSecond);

// Reads back the output and input speeds that the driver applied. Returns 0, or the errno of
// the call that failed.
int ReadLineSpeed(int fd, uint32_t* outputSpeed, uint32_t* inputSpeed);

}  // namespace quorel
