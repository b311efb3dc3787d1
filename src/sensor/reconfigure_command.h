// The sensor's reconfiguration command sequence, apart from the port it goes to.
#pragma once

#include <cstddef>

// The first number of the "f,..." command: fixed with the filter on, else from the rate.
int reconfigure_number(bool filter_enabled, double requested_rate);

// Formats "f,N,0,0,1\n" into buf; returns its length without the terminating zero.
int format_reconfigure_line(char* buf, size_t size, int number);
