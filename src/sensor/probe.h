// Deciding whether a serial device carries a live sensor.
#pragma once

// Opens path (descriptor in sensor_fd) and looks for one CRC-valid frame for up to
// limit_s seconds of the whole-second clock. True when one came; the port is closed again
// either way, no longer exclusive, and a rejected one has its settings back as found.
bool probe_serialport(const char* path, double limit_s);

// For the stop: a port under probe gets its settings back as found, as a probe that ends
// does. Holds the probe off for good (the process is ending); fd is the port's descriptor.
void restore_probed_port(int fd);
