#include "driver/debug_log.h"

#include <atomic>
#include <cstdio>
#include <iostream>
#include <mutex>

namespace {
const char log_name[] = "qrm_debug_output.txt";
const char kept_name[] = "qrm_debug_output.txt.1";
// Two files of this size at most: bounded for any length of run on the controller's disk.
constexpr long log_limit = 8L << 20;

std::atomic<bool> logging{false};
std::mutex rotation;  // the stream and a reconfiguration may both find the log full

// A failed rename (no log yet) or reopen goes unnoticed: the stream matters more than its
// log. Line-buffered, so that each line is in the file as soon as it is written.
void begin(const char* first_line) {
    rename(log_name, kept_name);
    if (freopen(log_name, "w", stdout))
        setvbuf(stdout, nullptr, _IOLBF, 0);
    std::cout << first_line << std::endl;
}
}  // namespace

void debug_log_start() {
    begin("Start log file");
    logging.store(true, std::memory_order_relaxed);
}

void debug_log_check() {
    if (!logging.load(std::memory_order_relaxed) || ftell(stdout) < log_limit)
        return;
    std::lock_guard<std::mutex> lock(rotation);
    if (ftell(stdout) >= log_limit)
        begin("Log continued");
}
