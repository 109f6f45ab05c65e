// Reads back the rate a tty holds, as the kernel's termios2 keeps it: exact
// also for rates that have no Bnnn constant. <asm/termbits.h> cannot share a
// translation unit with <termios.h>, hence a file of its own.
#pragma once

#include <cstdint>

// The tty's output rate in bits per second, or 0 when it cannot be read.
uint32_t lineOutputRate(int fd);
