#include "sensor/serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

speed_t speed_code(int rate) {
    switch (rate) {
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        case 460800:
            return B460800;
        default:
            return speed_t(rate);
    }
}

void restore_serialport(int fd, const PortSettings& found) {
    if (found.have_termios)
        tcsetattr(fd, TCSANOW, &found.tio);
    struct serial_struct serial;
    if (found.added_low_latency && ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags &= ~ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &serial);
    }
    // A pty keeps the flag while its master is open, even after the last close here.
    ioctl(fd, TIOCNXCL);
}

// Closes the half-configured port, as it was found, so that a scan of many candidates
// leaks nothing and changes nothing.
static int fail(int fd, const PortSettings& found, const char* what) {
    int error = errno;
    restore_serialport(fd, found);
    errno = error;
    perror(what);
    close(fd);
    return -1;
}

int init_serialport(const char* path, int rate, PortSettings* found) {
    PortSettings before;
    int fd = open(path, O_RDWR | O_NOCTTY);
    if (fd == -1) {
        perror("init_serialport: Unable to open port");
        return -1;
    }
    ioctl(fd, TIOCEXCL);

    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return fail(fd, before, "init_serialport: Couldn't get term attributes");
    before.have_termios = true;
    before.tio = tio;
    speed_t speed = speed_code(rate);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 1;  // a read returns after 0.1 s without a byte
    if (tcsetattr(fd, TCSAFLUSH, &tio) != 0)
        return fail(fd, before, "init_serialport: Couldn't set term attributes");
    if (tcflush(fd, TCIOFLUSH) != 0)
        return fail(fd, before, "init_serialport: tcflush failed");

    // USB adapters buffer input for milliseconds unless asked for low latency. Without the
    // driver's settings there is nothing sound to write back, so a failed read skips it.
    struct serial_struct serial;
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0 && !(serial.flags & ASYNC_LOW_LATENCY)) {
        serial.flags |= ASYNC_LOW_LATENCY;
        before.added_low_latency = ioctl(fd, TIOCSSERIAL, &serial) == 0;
    }

    if (fcntl(fd, F_GETFL) < 0) {
        fprintf(stderr, "ERROR: fcntl failed!");
        restore_serialport(fd, before);
        close(fd);
        return -1;
    }
    if (found)
        *found = before;
    return fd;
}
