// The record shared by the stream and the control service.

#include "driver/sensor_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

TEST(SensorState, Defaults) {
    SensorState s;
    EXPECT_TRUE(s.filter_enabled.load());
    EXPECT_EQ(s.cutoff_hz.load(), 50.0);
    EXPECT_FALSE(s.bias_active.load());
    EXPECT_FALSE(s.output_active.load());
    EXPECT_FALSE(s.output_pending.load());
    EXPECT_FALSE(s.configuring.load());
    EXPECT_FALSE(s.running.load());
    EXPECT_FALSE(s.is_running());
    EXPECT_EQ(s.serial_fd.load(), -1);  // no port: a reconfiguration must write nowhere
    EXPECT_EQ(s.get_sample_freq(), 0.0);
    EXPECT_EQ(s.get_title(), "No title set (C++)");
}

TEST(SensorState, EnableFilter) {
    struct Case {
        bool enable;
        int32_t type;
        int32_t result;
        double cutoff;
    };
    // Applied in order to one record: a refused type keeps the previous cut-off.
    const Case cases[] = {
        {true, 0, 1, 50.0},          {false, 3, 0, 25.0}, {true, 4, 0, 12.5},
        {false, 9, 1, 12.5},         {true, 2, 0, 40.0},  {true, -1, 1, 40.0},
        {false, 1, 0, 50.0},         {true, 5, 1, 50.0},  {true, INT32_MIN, 1, 50.0},
        {false, INT32_MAX, 1, 50.0}, {true, 3, 0, 25.0},
    };
    SensorState s;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "enable " << c.enable << " type " << c.type);
        EXPECT_EQ(s.enable_filter(c.enable, c.type), c.result);
        EXPECT_EQ(s.filter_enabled.load(), c.enable);  // stored even for a refused type
        EXPECT_EQ(s.filter_type.load(), c.type);
        EXPECT_EQ(s.cutoff_hz.load(), c.cutoff);
    }
}

TEST(SensorState, BiasAndOutputModes) {
    SensorState s;
    const double bias[6] = {1, -2, 3.5, -4e-3, 5e10, -0.0};
    const double out[6] = {10, 20, 30, 40, 50, 60};
    const double out2[6] = {-1, -2, -3, -4, -5, -6};

    EXPECT_EQ(s.set_bias(bias), 0);
    EXPECT_TRUE(s.bias_active.load());
    EXPECT_FALSE(s.output_active.load());
    EXPECT_FALSE(s.output_pending.load());
    for (int k = 0; k < 6; ++k) EXPECT_EQ(s.bias[k].load(), bias[k]) << k;

    EXPECT_EQ(s.set_output(out), 0);
    EXPECT_FALSE(s.bias_active.load());
    EXPECT_TRUE(s.output_active.load());
    EXPECT_TRUE(s.output_pending.load());
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(s.desired_output[k].load(), out[k]) << k;
        EXPECT_EQ(s.bias[k].load(), bias[k]) << k;  // the bias stays stored
    }

    // A second output before the stream took the first: one capture pending, new values.
    EXPECT_EQ(s.set_output(out2), 0);
    EXPECT_TRUE(s.output_pending.load());
    for (int k = 0; k < 6; ++k) EXPECT_EQ(s.desired_output[k].load(), out2[k]) << k;

    // Bias mode again before the stream's next frame: the capture stays pending.
    EXPECT_EQ(s.set_bias(bias), 0);
    EXPECT_TRUE(s.bias_active.load());
    EXPECT_FALSE(s.output_active.load());
    EXPECT_TRUE(s.output_pending.load());
}

TEST(SensorState, Title) {
    SensorState s;
    s.set_title("Vandrel");
    EXPECT_EQ(s.get_title(), "Vandrel (C++)");
    EXPECT_EQ(s.get_title(), "Vandrel (C++)");  // reading leaves the title alone
    s.set_title(" ");
    EXPECT_EQ(s.get_title(), "  (C++)");
    s.set_title("");
    EXPECT_EQ(s.get_title(), "No title set (C++)");
    std::string odd = "tab\there, \xC3\xA9, <xml>&amp;";
    s.set_title(odd);
    EXPECT_EQ(s.get_title(), odd + " (C++)");
    std::string long_title(100000, 'x');
    s.set_title(long_title);
    EXPECT_EQ(s.get_title(), long_title + " (C++)");
}

TEST(SensorState, SampleFrequency) {
    SensorState s;
    s.set_sample_freq(1000.5);
    EXPECT_EQ(s.get_sample_freq(), 1000.5);
    s.running.store(true);
    EXPECT_TRUE(s.is_running());
}

// Writers and readers at once, as the control service's threads and the stream do. A torn
// title shows here; unprotected accesses also show under ThreadSanitizer.
TEST(SensorState, ConcurrentUse) {
    SensorState s;
    const std::string a(300, 'a');
    const std::string b = "b";
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < 20000; ++i) s.set_title(i % 2 ? a : b);
    });
    threads.emplace_back([&] {
        const double v[6] = {1, 2, 3, 4, 5, 6};
        for (int i = 0; i < 20000; ++i) {
            s.set_bias(v);
            s.set_output(v);
            s.enable_filter(i % 2, 1 + i % 4);
        }
    });
    int bad_titles = 0;
    int bad_cutoffs = 0;
    threads.emplace_back([&] {
        while (!stop.load()) {
            std::string t = s.get_title();
            if (t != a + " (C++)" && t != b + " (C++)" && t != "No title set (C++)")
                ++bad_titles;
            double c = s.cutoff_hz.load();
            if (c != 50.0 && c != 40.0 && c != 25.0 && c != 12.5)
                ++bad_cutoffs;
            for (int k = 0; k < 6; ++k) (void)s.bias[k].load();
        }
    });
    threads[0].join();
    threads[1].join();
    stop = true;
    threads[2].join();
    EXPECT_EQ(bad_titles, 0);
    EXPECT_EQ(bad_cutoffs, 0);
}

// Two control calls at once, round after round: one mode at the end, one call's six values.
TEST(SensorState, ConcurrentModeWritersLeaveOneModeAndOneCallsValues) {
    SensorState s;
    std::atomic<int> arrived{0}, bad{0};
    std::mutex m;
    std::condition_variable met;
    int sleepers = 0;  // under m
    // Spinning first lets both calls of a round start together; a caller that waits longer
    // sleeps, so that on a busy machine the other gets its core instead of a yield's crumbs.
    auto meet = [&](int goal) {
        bool wake;
        {
            std::lock_guard<std::mutex> lock(m);
            arrived.fetch_add(1);
            wake = sleepers > 0;
        }
        if (wake)
            met.notify_all();
        for (int spin = 0; arrived.load() < goal; ++spin)
            if (spin > 20000) {
                std::unique_lock<std::mutex> lock(m);
                ++sleepers;
                met.wait(lock, [&] { return arrived.load() >= goal; });
                --sleepers;
            }
    };
    auto caller = [&](int id) {
        for (int r = 0; r < 200000; ++r) {
            meet(6 * r + 2);
            // One caller starts a varying moment later: in some rounds the calls overlap.
            for (volatile int d = 0; d < (id ? 0 : r % 97);) d = d + 1;
            const double v = 2 * r + id, values[6] = {v, v, v, v, v, v};
            (r + id) % 3 ? s.set_bias(values) : s.set_output(values);
            meet(6 * r + 4);
            for (int k = 0; id == 0 && k < 6; ++k)
                bad += (s.bias_active == s.output_active) + (s.bias[k] != s.bias[0]);
            meet(6 * r + 6);
        }
    };
    std::thread other(caller, 1);
    caller(0);
    other.join();
    EXPECT_EQ(bad.load(), 0);
}
