// What the daemon tells the service manager: when it is ready, what it is doing, and that it
// still makes progress (the watchdog). A thread of its own sends the datagrams, so the stream
// never waits on the notify socket: the stream only counts its passes in an atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

class SensorState;

// Where start-up is; each phase is bounded by the daemon itself, and the watchdog is fed
// only while the current one is within its bound.
enum class ServicePhase { scanning, probing, connecting, streaming };

// Passes of the stream loop since the start: the watchdog's proof that the loop turns.
extern std::atomic<uint64_t> stream_passes;

// The stream's one hook, once a pass: a load and a store, no system call.
inline void note_stream_pass() {
    stream_passes.store(stream_passes.load(std::memory_order_relaxed) + 1,
                        std::memory_order_relaxed);
}

// Start-up's hooks: the phase begins now; port names the device a probe opens.
void service_phase(ServicePhase phase, const char* port = nullptr);

// Reads the manager's settings from the environment and starts the thread that talks to it;
// nothing when NOTIFY_SOCKET is unset. Returns 0, or an errno value when the thread cannot
// be created.
int service_notify_start(const SensorState* state);

// The thread's tick for a watchdog period of watchdog_us (0: none): a quarter of it, within
// 10 ms and 0.5 s.
int64_t notify_tick_ns(uint64_t watchdog_us);

// What the thread sees at one tick, and what it remembers from the one before.
struct NotifyView {
    ServicePhase phase = ServicePhase::scanning;
    int64_t phase_ns = 0;  // time in the phase (a probe: on this port)
    uint64_t passes = 0;
    uint64_t packages = 0;
    uint64_t skipped = 0;
    bool configuring = false;
    int64_t configuring_ns = 0;  // time the current reconfiguration has run
    bool running = false;
    bool recipe_accepted = true;
    double sample_freq_hz = 0;
    std::string port;
};

// The line the operator reads in systemctl status.
std::string notify_status(const NotifyView& now, const NotifyView& last);

// True when the watchdog may be fed: the phase is within its bound, and while streaming the
// loop made a pass since the last tick and a reconfiguration runs within its bound.
bool notify_alive(const NotifyView& now, const NotifyView& last);
