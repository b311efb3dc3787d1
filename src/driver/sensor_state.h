// The one record shared by the stream (main thread) and the control service (server threads).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

// Coarse monotonic clock in nanoseconds: a few ns a call, a few ms of resolution, which is
// all the stream's and the statistics' 0.1 s decisions need. Inline: it is on the stream's
// per-frame path (every eighth package, and frames that send nothing).
inline int64_t monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The precise monotonic clock, through the vDSO: for ages and bounds of a few milliseconds.
inline int64_t precise_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Every field the two sides share is atomic, so neither side ever waits for the other. The
// mode flags are stored with release and loaded with acquire: a stream that sees a flag
// raised also sees the six values stored before it. Everything else is relaxed.
class SensorState {
  public:
    SensorState();
    ~SensorState() = default;

    std::atomic<bool> bias_active{false};
    std::atomic<bool> output_active{false};
    std::atomic<bool> output_pending{false};
    std::atomic<bool> configuring{false};
    std::atomic<bool> filter_enabled{true};
    std::atomic<bool> running{false};
    std::atomic<int32_t> filter_type{0};
    std::atomic<double> bias[6];
    std::atomic<double> desired_output[6];
    std::atomic<double> cutoff_hz{50.0};
    std::atomic<int> serial_fd{-1};
    std::atomic<double> sample_freq_hz{0.0};
    std::atomic<int64_t> configure_started_ns{0};  // monotonic_ns() as the last sequence began

    // Counters since the process started, and what the stream last sent; written by the
    // stream alone with relaxed stores, read by the control service.
    struct Statistics {
        std::atomic<uint64_t> frames{0};            // CRC-valid frames while synced
        std::atomic<uint64_t> packages{0};          // data packages sent
        std::atomic<uint64_t> skipped_packages{0};  // packages the controller could not take
        std::atomic<uint64_t> crc_errors{0};        // "CRC error" lines
        std::atomic<uint64_t> lost_sync{0};         // "Lost sync" lines
        std::atomic<uint64_t> synchronisations{0};  // "Frame synced" lines
        std::atomic<uint64_t> non_finite{0};        // frames dropped as non-finite
        std::atomic<uint64_t> read_failures{0};     // failed frame reads, either state
        std::atomic<uint64_t> reconfigurations{0};  // completed command sequences
        std::atomic<int64_t> last_package_ns{0};    // monotonic_ns(), to within 8 packages; 0: none
        std::atomic<double> last_wrench[6];         // values of the last package sent
    } stats;
    const int64_t started_ns;  // monotonic_ns() at construction

    // The streaming device path, "" until start-up opens it.
    void set_port(const std::string& path);
    std::string get_port() const;

    void set_title(const std::string& text);
    std::string get_title() const;
    int32_t set_bias(const double* values);
    int32_t set_output(const double* values);
    int32_t enable_filter(bool enable, int32_t type);
    bool is_running() const { return running.load(std::memory_order_relaxed); }
    double get_sample_freq() const { return sample_freq_hz.load(std::memory_order_relaxed); }
    void set_sample_freq(double hz) { sample_freq_hz.store(hz, std::memory_order_relaxed); }
    // The controller's recipe id is start-up's own byte, which lives as long as the process
    // once the set-up has written it; from then on the state points at it for the readers on
    // other threads. recipe_id() is 0 before the set-up.
    void set_recipe(const uint8_t* id) { recipe.store(id, std::memory_order_release); }
    int recipe_id() const {
        const uint8_t* id = recipe.load(std::memory_order_acquire);
        return id ? *id : 0;
    }
    // True once the controller has set up recipe id 0: it discards every package.
    bool recipe_refused() const {
        const uint8_t* id = recipe.load(std::memory_order_acquire);
        return id && *id == 0;
    }
    // Sends the sensor its reconfiguration commands; see sensor/reconfigure.cpp.
    int32_t reconfigure_sensor(double requested_rate);
    // Returns once configuring is clear, or after at most 0.1 s: the stream's pause without a
    // busy loop, woken as soon as the command sequence ends.
    void wait_while_configuring();

  private:
    std::atomic<const uint8_t*> recipe{nullptr};
    std::mutex mode_mutex;  // serialises set_bias and set_output
    mutable std::mutex title_mutex;
    std::string title;
    std::string port;  // under title_mutex; written once
    // Held for a whole command sequence, so that two sequences never interleave on the line.
    std::mutex reconfigure_mutex;
    std::mutex configured_mutex;  // configuring is cleared under it, so no wake-up is lost
    std::condition_variable configured;
};
