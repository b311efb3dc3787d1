#include "driver/descriptor_io.h"

#include <unistd.h>

#include <cstdint>

int read_fully(int fd, void* buf, int count) {
    auto* p = static_cast<uint8_t*>(buf);
    int filled = 0;
    while (filled < count) {
        ssize_t n = read(fd, p + filled, size_t(count - filled));
        if (n <= 0)
            return 1;
        filled += int(n);
    }
    return 0;
}

int write_fully(int fd, const void* buf, int count) {
    const auto* p = static_cast<const uint8_t*>(buf);
    int sent = 0;
    while (sent < count) {
        ssize_t n = write(fd, p + sent, size_t(count - sent));
        if (n < 0)
            return 1;
        sent += int(n);
    }
    return 0;
}
