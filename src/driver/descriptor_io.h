// Exact-length reads and writes on a descriptor, for the sensor port and the controller
// socket alike.
#pragma once

// Reads exactly count bytes. 0 on success; 1 as soon as a read delivers nothing (end of
// data, the port's 0.1 s silence window, or an error), with the bytes so far kept in buf.
int read_fully(int fd, void* buf, int count);

// Writes exactly count bytes, retrying short writes. 0 on success, 1 on a write error.
int write_fully(int fd, const void* buf, int count);
