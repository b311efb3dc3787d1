// SIGINT ends the process with status 2 even when closing the ports makes another thread's
// read or write fail at that moment: that thread's fatal exit must not win the race.

#include "driver/interrupt.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "driver/fatal_exit.h"

namespace {
void stream_meets_closed_port_during_interrupt() {
    int fds[2];
    if (pipe(fds) != 0)
        _exit(10);
    sensor_fd = fds[0];
    rtde_socket = fds[1];
    std::thread handler([] {
        // Give the stream a head start so that it is spinning when the port goes.
        usleep(20000);
        interrupt_handler(2);
    });
    // The stream: as soon as the port is gone (closed, or something else in its place), its
    // next read fails and it gives up.
    struct stat port, now;
    fstat(fds[0], &port);
    while (fstat(fds[0], &now) == 0 && now.st_ino == port.st_ino) {
    }
    fatal_exit(1);
}
}  // namespace

TEST(InterruptDeathTest, FailureCausedByTheClosedPortsDoesNotOverrideTheSignalsStatus) {
    for (int i = 0; i < 20; ++i)
        EXPECT_EXIT(stream_meets_closed_port_during_interrupt(), testing::ExitedWithCode(2),
                    "Close ports!");
}

TEST(InterruptDeathTest, FatalExitWithoutAnInterruptExitsWithItsStatus) {
    EXPECT_EXIT(fatal_exit(1), testing::ExitedWithCode(1), "");
}
