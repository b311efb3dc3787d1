// Opening and configuring the sensor's serial port.
#pragma once

#include <termios.h>

// Speed code for a rate in bits per second; a rate outside the table is its own code.
speed_t speed_code(int rate);

// Opens path exclusively, raw, at rate, reads returning after 0.1 s of silence, in the
// driver's low-latency mode. Returns the descriptor, or -1 after printing the cause.
int init_serialport(const char* path, int rate);
