// Opening and configuring the sensor's serial port.
#pragma once

#include <termios.h>

// Speed code for a rate in bits per second; a rate outside the table is its own code.
speed_t speed_code(int rate);

// A port's settings as they were before init_serialport changed them, so that a port
// that turns out not to be the sensor can be left as it was found.
struct PortSettings {
    bool have_termios = false;
    termios tio{};
    bool added_low_latency = false;
};

// Opens path exclusively, raw, at rate, reads returning after 0.1 s of silence, in the
// driver's low-latency mode. Returns the descriptor, or -1 after printing the cause; a
// failed open leaves the port as it was found. With found, records the settings it
// changes.
int init_serialport(const char* path, int rate, PortSettings* found = nullptr);

// Writes found's settings back and gives up exclusive mode; the caller closes fd.
void restore_serialport(int fd, const PortSettings& found);
