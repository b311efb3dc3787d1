#include "driver/service_notify.h"

#include <pthread.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "driver/sensor_state.h"

std::atomic<uint64_t> stream_passes{0};

namespace {
constexpr int64_t second_ns = 1000000000;
// Each phase's own limit and a margin: the daemon's reasoned exit at the end of a phase
// always comes before the watchdog's. Scanning opens 256 nodes without waiting; a probe
// looks for up to 5 s; the controller set-up retries for 20 s, and its last attempt may
// still read its reply for up to 20 s a read.
constexpr int64_t scan_bound_ns = 5 * second_ns;
constexpr int64_t probe_bound_ns = 7 * second_ns;
constexpr int64_t connect_bound_ns = 90 * second_ns;
// A reconfiguration pauses 2 s between its commands.
constexpr int64_t configure_bound_ns = 5 * second_ns;
constexpr int64_t longest_tick_ns = second_ns / 2;
// A watchdog period too short to keep costs no more than this.
constexpr int64_t shortest_tick_ns = second_ns / 100;
// Start-up is extended while the stream looks for its first package this long at most: a
// line of garbage resets the silence timer, and would otherwise hold the start for ever.
constexpr int64_t first_package_bound_ns = 20 * second_ns;
const auto relaxed = std::memory_order_relaxed;

std::atomic<int> phase{int(ServicePhase::scanning)};
std::atomic<int64_t> phase_start_ns{0};
// The device being probed; written by start-up, read by the thread. Plain characters, so
// that nothing is destroyed under the thread while the process exits.
std::mutex port_mutex;
char probed_port[64];

struct Notifier {
    const SensorState* state;
    int64_t tick_ns;
    bool watchdog;
};

NotifyView observe(const SensorState& state, int64_t now) {
    NotifyView v;
    v.phase = ServicePhase(phase.load(relaxed));
    v.phase_ns = now - phase_start_ns.load(relaxed);
    v.passes = stream_passes.load(relaxed);
    v.packages = state.stats.packages.load(relaxed);
    v.skipped = state.stats.skipped_packages.load(relaxed);
    v.configuring = state.configuring.load(relaxed);
    v.configuring_ns = now - state.configure_started_ns.load(relaxed);
    v.running = state.is_running();
    v.recipe_accepted = !state.recipe_refused();
    v.sample_freq_hz = state.get_sample_freq();
    if (v.phase == ServicePhase::probing) {
        std::lock_guard<std::mutex> lock(port_mutex);
        v.port = probed_port;
    }
    return v;
}

void pause_ns(int64_t ns) {
    timespec t{time_t(ns / second_ns), long(ns % second_ns)};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &t, &t) == EINTR) {
    }
}

void* notify_thread(void* arg) {
    const Notifier& n = *static_cast<Notifier*>(arg);
    NotifyView last = observe(*n.state, monotonic_ns());
    std::string sent_status;
    bool ready = false;
    for (;;) {
        pause_ns(n.tick_ns);
        NotifyView now = observe(*n.state, monotonic_ns());
        std::string message;
        const bool ready_now = !ready && now.packages > 0;
        if (ready_now)
            message += "READY=1\n";
        std::string status = notify_status(now, last);
        if (status != sent_status)
            message += "STATUS=" + status + "\n";
        bool alive = notify_alive(now, last);
        if (alive && n.watchdog)
            message += "WATCHDOG=1\n";
        // Start-up takes as long as its phases do; it is extended while they progress.
        if (alive && !ready &&
            (now.phase != ServicePhase::streaming || now.phase_ns <= first_package_bound_ns))
            message += "EXTEND_TIMEOUT_USEC=" + std::to_string(4 * n.tick_ns / 1000) + "\n";
        // A datagram the manager did not get is sent again at the next tick.
        if (!message.empty() && sd_notify(0, message.c_str()) > 0) {
            sent_status = status;
            ready = ready || ready_now;
        }
        last = now;
    }
}
}  // namespace

int64_t notify_tick_ns(uint64_t watchdog_us) {
    // Four ticks to a watchdog period: twice with room for a late one. In microseconds
    // first, so that no period overflows.
    const uint64_t quarter_us = watchdog_us / 4;
    if (watchdog_us == 0 || quarter_us >= uint64_t(longest_tick_ns / 1000))
        return longest_tick_ns;
    return std::max(int64_t(quarter_us) * 1000, shortest_tick_ns);
}

void service_phase(ServicePhase next, const char* port) {
    if (port) {
        std::lock_guard<std::mutex> lock(port_mutex);
        snprintf(probed_port, sizeof probed_port, "%s", port);
    }
    phase_start_ns.store(monotonic_ns(), relaxed);
    phase.store(int(next), relaxed);
}

int service_notify_start(const SensorState* state) {
    phase_start_ns.store(monotonic_ns(), relaxed);
    const char* socket = getenv("NOTIFY_SOCKET");
    if (!socket || !*socket)
        return 0;
    uint64_t watchdog_us = 0;
    if (sd_watchdog_enabled(0, &watchdog_us) <= 0)
        watchdog_us = 0;
    // Lives as long as the process.
    auto* notifier = new Notifier{state, notify_tick_ns(watchdog_us), watchdog_us > 0};
    pthread_t thread;
    int error = pthread_create(&thread, nullptr, notify_thread, notifier);
    if (error != 0) {
        delete notifier;
        return error;
    }
    pthread_detach(thread);
    return 0;
}

std::string notify_status(const NotifyView& now, const NotifyView& last) {
    switch (now.phase) {
        case ServicePhase::scanning:
            return "Scanning /dev/ttyUSB0..255 for the sensor's adapter";
        case ServicePhase::probing:
            return "Probing " + now.port + " for the sensor";
        case ServicePhase::connecting:
            return "Waiting for the controller's RTDE interface at 127.0.0.1:30004";
        case ServicePhase::streaming:
            break;
    }
    if (now.configuring)
        return "Configuring the sensor";
    if (now.skipped != last.skipped)
        return "Skipping packages: the controller does not take them all";
    if (now.packages != last.packages && !now.recipe_accepted)
        return "Sending packages the controller discards (it set up recipe id 0)";
    if (!now.running)
        return "Searching for the sensor's frames";
    char text[64];
    snprintf(text, sizeof text, "Streaming at %.0f Hz",
             std::isfinite(now.sample_freq_hz) ? now.sample_freq_hz : 0.0);
    return text;
}

bool notify_alive(const NotifyView& now, const NotifyView& last) {
    switch (now.phase) {
        case ServicePhase::scanning:
            return now.phase_ns <= scan_bound_ns;
        case ServicePhase::probing:
            return now.phase_ns <= probe_bound_ns;
        case ServicePhase::connecting:
            return now.phase_ns <= connect_bound_ns;
        case ServicePhase::streaming:
            break;
    }
    if (now.passes == last.passes)
        return false;
    return !now.configuring || now.configuring_ns <= configure_bound_ns;
}
