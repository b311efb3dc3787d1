// The sensor's reconfiguration command, as pure logic: the daemon sends it, and ftbridge-ctl
// shows which number a rate becomes without a rule of its own that could drift.
#include "sensor/reconfigure_command.h"

#include <cstdio>

int reconfigure_number(bool filter_enabled, double requested_rate) {
    if (filter_enabled)
        return 59;
    // Written so that NaN also takes the slow-rate setting: converting it to int is undefined
    // and would send the sensor a garbage number.
    if (!(requested_rate >= 120.0))
        return 380;
    return int(47500.0 / requested_rate);
}

int format_reconfigure_line(char* buf, size_t size, int number) {
    return snprintf(buf, size, "f,%d,%d,%d,%d\n", number, 0, 0, 1);
}
