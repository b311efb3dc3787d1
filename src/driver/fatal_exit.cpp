#include "driver/fatal_exit.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace {
std::atomic<bool> stop_begun{false};
}

void fatal_exit(int status) {
    if (stop_begun.load()) {
        for (;;) pause();
    }
    end_process(status);
}

void end_process(int status) {
    // Standard output is flushed line by line; whatever a line left behind goes out only if
    // no other thread holds the stream.
    if (ftrylockfile(stdout) == 0) {
        fflush_unlocked(stdout);
        funlockfile(stdout);
    }
    _exit(status);
}

void begin_stop() {
    stop_begun.store(true);
}

bool stopping() {
    return stop_begun.load();
}
