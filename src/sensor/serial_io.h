// Reads on the sensor port at its own pace.
#pragma once

// read_fully on the sensor port at the port's own pace: a failure that came sooner than its
// 0.1 s silence window (end of file or an error, as when the adapter is gone) waits out the
// rest of the window, so that a loop of such reads idles as on a silent port, not spins.
int read_port(int fd, void* buf, int count);

// Next byte of the sensor port (sensor_fd), 0..255; ends the process with status 1 when
// none comes.
int read_byte();
