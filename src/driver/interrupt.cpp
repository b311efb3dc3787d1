#include "driver/interrupt.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "rtde/rtde_client.h"
#include "sensor/serial_io.h"

namespace {
std::atomic<bool> interrupting{false};
}

void fatal_exit(int status) {
    if (interrupting.load()) {
        for (;;) pause();
    }
    exit(status);
}

void interrupt_handler(int signal_number) {
    interrupting.store(true);
    std::cout << "Interrupt signal (" << signal_number << ") received.\n";
    fprintf(stderr, "Interrupt signal (%i) received.\n", signal_number);
    fprintf(stderr, "Close ports!\n");
    close(sensor_fd);
    close(rtde_socket);
    exit(signal_number);
}

namespace {
sigset_t interrupt_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    return set;
}

void* interrupt_thread(void*) {
    sigset_t set = interrupt_signals();
    for (;;) {
        int signal_number;
        if (sigwait(&set, &signal_number) == 0) interrupt_handler(signal_number);
    }
}
}  // namespace

int install_interrupt_handler() {
    signal(SIGPIPE, SIG_IGN);
    sigset_t set = interrupt_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    pthread_t thread;
    return pthread_create(&thread, nullptr, interrupt_thread, nullptr);
}
