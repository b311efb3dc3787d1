// Exact-length reads and writes on a descriptor, and the sensor port they mostly serve.
#pragma once

// Descriptor of the sensor port opened most recently (-1 when none). Process-wide so that
// the interrupt handler can close it.
extern int sensor_fd;

// Reads exactly count bytes. 0 on success; 1 as soon as a read delivers nothing (end of
// data, the port's 0.1 s silence window, or an error), with the bytes so far kept in buf.
int read_fully(int fd, void* buf, int count);

// read_fully on the sensor port at the port's own pace: a failure that came sooner than its
// 0.1 s silence window (end of file or an error, as when the adapter is gone) waits out the
// rest of the window, so that a loop of such reads idles as on a silent port, not spins.
int read_port(int fd, void* buf, int count);

// Writes exactly count bytes, retrying short writes. 0 on success, 1 on a write error.
int write_fully(int fd, const void* buf, int count);

// Next byte of the sensor port, 0..255; ends the process with status 1 when none comes.
int read_byte();
