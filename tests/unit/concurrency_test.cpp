// The stream and the control service on one SensorState at once, as in the daemon: one thread
// makes stream passes at full rate over valid frames while others call every control method
// in loops. Built with ThreadSanitizer (make tsan-test) this is the race check; in any build
// it checks that the stream stays exact once the calls stop.

#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>
#include <xmlrpc-c/base.hpp>

#include "control/methods.h"
#include "driver/sensor_state.h"
#include "fake_port.h"
#include "sensor/frame.h"
#include "stream/stream_pass.h"
#include "stream/wrench.h"

namespace {

// Valid frames, 1 ms apart, over and over.
std::vector<SensorFrame> endless_line() {
    std::vector<SensorFrame> frames;
    for (int n = 0; n < 64; ++n) {
        const float force[3] = {float(n) + 0.5f, -float(n), 2.0f * float(n)};
        const float torque[3] = {0.25f * float(n), 1.0f, -0.5f * float(n)};
        frames.push_back(encode_frame(0, force, torque, uint32_t(1000 * n + 1000)));
    }
    return frames;
}

xmlrpc_c::paramList wrench_params(double base) {
    xmlrpc_c::paramList p;
    for (int k = 0; k < 6; ++k) p.add(xmlrpc_c::value_double(base + k));
    return p;
}

// Calls a method and swallows the fault a refused call raises: the calls here are meant to race,
// not to be judged one by one.
void call(xmlrpc_c::method& m, const xmlrpc_c::paramList& params) {
    xmlrpc_c::value result;
    try {
        m.execute(params, &result);
    } catch (const std::exception&) {
    }
}

TEST(StreamAndControlConcurrently, SettingsChangedAtFullRateAndStreamExactAfterwards) {
    SensorState state;
    state.set_title("Vandrel");
    FakePort port;
    port.repeat(endless_line());
    double last[6] = {};
    port.on_send = [&](const double* wrench) { std::copy(wrench, wrench + 6, last); };
    StreamContext ctx;
    ctx.search_start = port.now();

    // A pty as the sensor's port, so that configure_sensor runs its real command sequence.
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios tio;
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    cfmakeraw(&tio);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &tio), 0);
    state.serial_fd.store(slave);

    std::atomic<bool> stop{false};
    std::atomic<long> passes{0};
    std::thread stream([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            stream_pass(ctx, state, port);
            passes.fetch_add(1, std::memory_order_relaxed);
        }
    });

    GetTitle get_title(&state);
    SetTitle set_title(&state);
    SetBias set_bias(&state);
    SetOutput set_output(&state);
    GetSampleFreq get_sample_freq(&state);
    ConfigureSensor configure(&state);
    EnableFilter enable_filter(&state);
    GetIsRunning is_running(&state);
    GetStatistics get_statistics(&state);
    GetWrench get_wrench(&state);
    GetSettings get_settings(&state);

    // Each caller loops at least this often, and on until the reconfiguration is over, so the
    // calls overlap the stream's passes in every state: synced, searching and paused.
    constexpr int rounds = 2000;
    std::atomic<bool> configured{false};
    auto more = [&](int i) { return i < rounds || !configured.load(); };
    std::vector<std::thread> callers;
    callers.emplace_back([&] {
        for (int i = 0; more(i); ++i) {
            call(set_bias, wrench_params(i));
            call(set_output, wrench_params(-i));
        }
    });
    callers.emplace_back([&] {
        for (int i = 0; more(i); ++i) {
            xmlrpc_c::paramList p;
            p.add(xmlrpc_c::value_boolean(i % 3 != 0));
            p.add(xmlrpc_c::value_int(i % 6));  // 0 and 5 are refused types
            call(enable_filter, p);
            state.enable_filter(i % 2 == 0, 1 + i % 4);
        }
    });
    callers.emplace_back([&] {
        xmlrpc_c::paramList none;
        for (int i = 0; more(i); ++i) {
            xmlrpc_c::paramList p;
            p.add(xmlrpc_c::value_string("title " + std::to_string(i)));
            call(set_title, p);
            call(get_title, none);
            call(get_sample_freq, none);
            call(is_running, none);
            call(get_statistics, none);
            call(get_wrench, none);
            call(get_settings, none);
            (void)state.get_title();
            (void)state.is_running();
            (void)state.get_sample_freq();
        }
    });
    callers.emplace_back([&] {
        xmlrpc_c::paramList p;
        p.add(xmlrpc_c::value_double(500.0));
        // Streaming first, so the pause interrupts a synced stream.
        while (state.stats.packages.load() < 100) std::this_thread::yield();
        call(configure, p);
        configured.store(true);
    });
    // The sensor's end drains the commands so the writes never block.
    std::atomic<bool> drain_stop{false};
    std::string commands;
    std::thread drain([&] {
        char buf[256];
        while (!drain_stop.load()) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(master, &set);
            timeval tv{0, 20000};
            if (select(master + 1, &set, nullptr, nullptr, &tv) > 0) {
                ssize_t n = read(master, buf, sizeof buf);
                if (n > 0)
                    commands.append(buf, size_t(n));
            }
        }
    });
    for (auto& t : callers) t.join();
    stop.store(true);
    stream.join();
    drain_stop.store(true);
    drain.join();
    close(master);
    close(slave);

    // Everything happened: the stream ran throughout and the reconfiguration went out whole.
    EXPECT_GT(passes.load(), 0);
    EXPECT_GE(state.stats.packages.load(), 100u);
    EXPECT_EQ(commands.front(), 'C');
    EXPECT_EQ(commands.back(), 'R');
    EXPECT_FALSE(state.configuring.load());

    // Now alone: fixed settings, and every further package is exactly what they give.
    const double bias[6] = {1, 2, 3, 4, 5, 6};
    state.set_bias(bias);
    state.enable_filter(false, 1);
    for (int guard = 0; !ctx.synced; ++guard) {
        ASSERT_LT(guard, 1000) << "the stream never synchronised again";
        stream_pass(ctx, state, port);
    }
    for (int i = 0; i < 200; ++i) {
        const uint64_t before = state.stats.packages.load();
        stream_pass(ctx, state, port);
        ASSERT_EQ(state.stats.packages.load(), before + 1)
            << "a valid synced frame gave no package";
        float mapped[6];
        map_sample(ctx.frame, mapped);
        for (int k = 0; k < 6; ++k)
            ASSERT_EQ(last[k], double(mapped[k]) - bias[k]) << "axis " << k << " pass " << i;
    }
    EXPECT_TRUE(state.is_running());
    EXPECT_DOUBLE_EQ(state.get_sample_freq(), 1000.0);
}

}  // namespace
