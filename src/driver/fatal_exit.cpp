#include "driver/fatal_exit.h"

#include <unistd.h>

#include <atomic>

namespace {
std::atomic<bool> stop_begun{false};
}

void fatal_exit(int status) {
    if (stop_begun.load()) {
        for (;;) pause();
    }
    _exit(status);
}

void begin_stop() {
    stop_begun.store(true);
}

bool stopping() {
    return stop_begun.load();
}
