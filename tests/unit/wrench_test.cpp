#include "stream/wrench.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>

#include "driver/sensor_state.h"
#include "sensor/frame.h"

namespace {
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Six = std::array<double, 6>;

SensorFrame frame_of(const Six& ft, uint32_t timestamp = 0, uint16_t status = 0) {
    const float force[3] = {float(ft[0]), float(ft[1]), float(ft[2])};
    const float torque[3] = {float(ft[3]), float(ft[4]), float(ft[5])};
    return encode_frame(status, force, torque, timestamp);
}

// The robot-axis sample of a frame built from ft, written out by hand.
Six robot_axes(const Six& ft) {
    return {ft[1], -ft[0], ft[2], ft[4], -ft[3], ft[5]};
}

Six process(WrenchState& ws, SensorState& state, const SensorFrame& f) {
    const double* out = process_wrench(ws, state, f);
    return {out[0], out[1], out[2], out[3], out[4], out[5]};
}

Six smoothed(const WrenchState& ws) {
    return {ws.smoothed_raw[0], ws.smoothed_raw[1], ws.smoothed_raw[2],
            ws.smoothed_raw[3], ws.smoothed_raw[4], ws.smoothed_raw[5]};
}

void expect_near6(const Six& actual, const Six& expected, double tol) {
    for (int k = 0; k < 6; ++k) EXPECT_NEAR(actual[k], expected[k], tol) << "axis " << k;
}

const Six sample_a = {1.5, -2.0, 3.25, 0.5, -0.125, 8.0};
const Six sample_b = {-4.0, 6.5, 0.75, -1.0, 2.5, -3.0};
const Six sample_c = {10.0, 20.0, -30.0, 0.25, 0.5, 0.75};
}  // namespace

TEST(FilterFactor, MatchesTheCutOffTable) {
    EXPECT_NEAR(filter_factor(50.0), 0.32030, 5e-6);
    EXPECT_NEAR(filter_factor(40.0), 0.27378, 5e-6);
    EXPECT_NEAR(filter_factor(25.0), 0.19069, 5e-6);
    EXPECT_NEAR(filter_factor(12.5), 0.10539, 5e-6);
}

TEST(WrenchProcessing, MapsSensorAxesToRobotAxes) {
    float mapped[6];
    map_sample(frame_of({1, 2, 3, 4, 5, 6}), mapped);
    const float expected[6] = {2, -1, 3, 5, -4, 6};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(mapped[k], expected[k]) << "axis " << k;
}

TEST(WrenchProcessing, DefaultFilterApproachesTheSignalByTheFactor) {
    SensorState state;
    WrenchState ws;
    const double a = filter_factor(50.0);
    Six x = robot_axes(sample_a);
    Six first = process(ws, state, frame_of(sample_a, 1000));
    Six expected;
    for (int k = 0; k < 6; ++k) expected[k] = a * x[k];
    expect_near6(first, expected, 1e-12);

    Six y = robot_axes(sample_b);
    Six second = process(ws, state, frame_of(sample_b, 2500));
    for (int k = 0; k < 6; ++k) expected[k] = first[k] + a * (y[k] - first[k]);
    expect_near6(second, expected, 1e-12);
}

TEST(WrenchProcessing, FilterOffSendsTheExactSampleAndReenablingDoesNotJump) {
    SensorState state;
    WrenchState ws;
    const double a = filter_factor(50.0);
    process(ws, state, frame_of(sample_a, 1000));

    state.enable_filter(false, 1);
    Six off = process(ws, state, frame_of(sample_b, 2500));
    Six b = robot_axes(sample_b);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(off[k], b[k]) << "axis " << k;

    state.enable_filter(true, 1);
    Six on = process(ws, state, frame_of(sample_c, 4000));
    Six c = robot_axes(sample_c), expected;
    for (int k = 0; k < 6; ++k) expected[k] = b[k] + a * (c[k] - b[k]);
    expect_near6(on, expected, 1e-12);
}

// smoothed_raw[0] of a frame uses the factor left by the previous frame, axes 1-5 the new one;
// with the filter off the factor stays at the last one computed.
TEST(WrenchProcessing, SmoothedSignalUsesTheFactorInForceAtEachAxis) {
    SensorState state;
    WrenchState ws;
    seed_wrench(ws, frame_of(sample_a));
    Six s = robot_axes(sample_a);
    EXPECT_EQ(smoothed(ws), s);

    // First frame: axis 0 still with the initial 0.32.
    const double f50 = filter_factor(50.0), f12 = filter_factor(12.5);
    Six x = robot_axes(sample_b);
    process(ws, state, frame_of(sample_b, 1000));
    Six expected;
    expected[0] = s[0] + 0.32 * (x[0] - s[0]);
    for (int k = 1; k < 6; ++k) expected[k] = s[k] + f50 * (x[k] - s[k]);
    expect_near6(smoothed(ws), expected, 1e-12);

    // Cut-off lowered: axis 0 with the 50 Hz factor, the rest with the 12.5 Hz one.
    state.enable_filter(true, 4);
    s = expected;
    x = robot_axes(sample_c);
    process(ws, state, frame_of(sample_c, 2500));
    expected[0] = s[0] + f50 * (x[0] - s[0]);
    for (int k = 1; k < 6; ++k) expected[k] = s[k] + f12 * (x[k] - s[k]);
    expect_near6(smoothed(ws), expected, 1e-12);

    // Filter off with a new cut-off: every axis keeps the 12.5 Hz factor.
    state.enable_filter(false, 1);
    s = expected;
    x = robot_axes(sample_a);
    Six out = process(ws, state, frame_of(sample_a, 4000));
    for (int k = 0; k < 6; ++k) expected[k] = s[k] + f12 * (x[k] - s[k]);
    expect_near6(smoothed(ws), expected, 1e-12);
    EXPECT_EQ(out, x);
}

TEST(WrenchProcessing, BiasModeSubtractsTheBias) {
    SensorState state;
    WrenchState ws;
    const double bias[6] = {0.5, -1.0, 2.0, 0.25, -0.5, 4.0};
    state.set_bias(bias);
    Six x = robot_axes(sample_a);
    Six filtered = process(ws, state, frame_of(sample_a, 1000));
    const double a = filter_factor(50.0);
    for (int k = 0; k < 6; ++k) EXPECT_NEAR(filtered[k], a * (x[k] - bias[k]), 1e-12);

    state.enable_filter(false, 1);
    Six y = robot_axes(sample_b);
    Six exact = process(ws, state, frame_of(sample_b, 2500));
    for (int k = 0; k < 6; ++k) EXPECT_EQ(exact[k], y[k] - bias[k]) << "axis " << k;

    // Should both mode flags ever be seen set, the bias wins.
    state.output_active = true;
    Six both = process(ws, state, frame_of(sample_c, 4000));
    Six z = robot_axes(sample_c);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(both[k], z[k] - bias[k]) << "axis " << k;
}

// Offsets at the limits of a double: the filter's step can overflow, and a filter at
// infinity would give NaN for good. From finite settings every package is finite, and the
// first package after ordinary settings is the ordinary filter step from a finite state.
TEST(WrenchProcessing, ExtremeOffsetsNeverMakeAPackageNonFinite) {
    const double max = 1.7976931348623157e308;
    const struct {
        const char* what;
        bool output_mode;  // set_output instead of set_bias
        double first, second;
    } rows[] = {
        {"bias -max then +max", false, -max, max},
        {"bias +max then -max", false, max, -max},
        {"desired output +max then -max", true, max, -max},
        {"bias -max then subnormal", false, -max, 5e-324},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        SensorState state;
        WrenchState ws;
        uint32_t t = 0;
        auto set_all = [&](double v) {
            const double six[6] = {v, v, v, v, v, v};
            row.output_mode ? state.set_output(six) : state.set_bias(six);
        };
        auto expect_finite_packages = [&](int n) -> Six {
            Six last{};
            for (int i = 0; i < n; ++i) {
                last = process(ws, state, frame_of(sample_a, t += 1500));
                for (int k = 0; k < 6; ++k)
                    if (!std::isfinite(last[k])) {
                        ADD_FAILURE() << "package " << i << " axis " << k << ": " << last[k];
                        return last;
                    }
            }
            return last;
        };
        CaptureStdout();  // the desired-output lines
        set_all(row.first);
        expect_finite_packages(5);
        set_all(row.second);
        expect_finite_packages(5);
        state.set_bias(std::array<double, 6>{}.data());
        Six before = {ws.filtered_wrench[0], ws.filtered_wrench[1], ws.filtered_wrench[2],
                      ws.filtered_wrench[3], ws.filtered_wrench[4], ws.filtered_wrench[5]};
        Six after = expect_finite_packages(1);
        Six x = robot_axes(sample_a);
        const double a = filter_factor(50.0);
        for (int k = 0; k < 6; ++k)
            EXPECT_EQ(after[k], before[k] + a * (x[k] - before[k])) << "axis " << k;
        // ... and the filter settles on the sample as ever.
        Six settled = expect_finite_packages(2000);
        expect_near6(settled, x, 1e-6);
        GetCapturedStdout();
    }
}

TEST(WrenchProcessing, DesiredOutputCapturesTheSmoothedSignalOnce) {
    SensorState state;
    WrenchState ws;
    state.enable_filter(false, 1);
    // Robot axes (4, 0.5, 8, 0.25, 1, 16): short numbers for the "Offset: " line.
    const Six seed = {-0.5, 4, 8, -1, 0.25, 16};
    seed_wrench(ws, frame_of(seed));
    const double desired[6] = {1, 2.5, -3, 1e-7, 1e5, 1234567};
    state.set_output(desired);
    EXPECT_TRUE(state.output_pending.load());

    CaptureStdout();
    Six out = process(ws, state, frame_of(sample_a, 1000));
    EXPECT_EQ(GetCapturedStdout(),
              "Set to desired output: 1 2.5 -3 1e-07 100000 1.23457e+06\n"
              "Offset: 4 0.5 8 0.25 1 16\n");
    EXPECT_FALSE(state.output_pending.load());
    Six ref = robot_axes(seed), x = robot_axes(sample_a);
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(ws.output_reference[k], ref[k]);
        EXPECT_EQ(out[k], x[k] - ref[k] + desired[k]) << "axis " << k;
    }

    // The reference holds while smoothed_raw moves on; nothing more is printed.
    CaptureStdout();
    Six later = process(ws, state, frame_of(sample_b, 2500));
    EXPECT_EQ(GetCapturedStdout(), "");
    Six y = robot_axes(sample_b);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(later[k], y[k] - ref[k] + desired[k]) << "axis " << k;
}

TEST(WrenchProcessing, BiasAfterPendingOutputStillCapturesButAppliesBias) {
    SensorState state;
    WrenchState ws;
    state.enable_filter(false, 1);
    seed_wrench(ws, frame_of(sample_a));
    const double desired[6] = {1, 1, 1, 1, 1, 1};
    const double bias[6] = {2, 2, 2, 2, 2, 2};
    state.set_output(desired);
    state.set_bias(bias);

    CaptureStdout();
    Six out = process(ws, state, frame_of(sample_b, 1000));
    std::string printed = GetCapturedStdout();
    EXPECT_NE(printed.find("Set to desired output: 1 1 1 1 1 1\n"), std::string::npos) << printed;
    EXPECT_FALSE(state.output_pending.load());
    Six a = robot_axes(sample_a), b = robot_axes(sample_b);
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(ws.output_reference[k], a[k]);
        EXPECT_EQ(out[k], b[k] - bias[k]) << "axis " << k;
    }

    // A later set_output captures afresh, from where the smoothed signal is now.
    Six now = smoothed(ws);
    state.set_output(desired);
    CaptureStdout();
    Six after = process(ws, state, frame_of(sample_c, 2500));
    EXPECT_NE(GetCapturedStdout().find("Offset: "), std::string::npos);
    Six c = robot_axes(sample_c);
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(ws.output_reference[k], now[k]);
        EXPECT_EQ(after[k], c[k] - now[k] + desired[k]) << "axis " << k;
    }
}

TEST(WrenchProcessing, SampleFrequencyFromTimestamps) {
    SensorState state;
    WrenchState ws;
    seed_wrench(ws, frame_of(sample_a, 5000));  // a seed is not a processed frame
    process(ws, state, frame_of(sample_a, 9000));
    EXPECT_EQ(state.get_sample_freq(), 0.0) << "the first processed frame measures nothing";

    process(ws, state, frame_of(sample_a, 10500));
    EXPECT_NEAR(state.get_sample_freq(), 666.667, 5e-4);

    state.set_sample_freq(123.0);
    process(ws, state, frame_of(sample_a, 10500));
    EXPECT_EQ(state.get_sample_freq(), 123.0) << "equal timestamps";

    process(ws, state, frame_of(sample_a, 0xFFFFFF00u));
    EXPECT_NEAR(state.get_sample_freq(), 1e6 / (0xFFFFFF00u - 10500u), 1e-12);
    state.set_sample_freq(123.0);
    process(ws, state, frame_of(sample_a, 0x100));
    EXPECT_EQ(state.get_sample_freq(), 123.0) << "counter wrapped";
    // The wrapped timestamp still became the reference for the next interval.
    process(ws, state, frame_of(sample_a, 0x100 + 2000));
    EXPECT_NEAR(state.get_sample_freq(), 500.0, 1e-9);
}

TEST(WrenchProcessing, NonZeroStatusIsReportedAndTheFrameStillProcessed) {
    SensorState state;
    state.enable_filter(false, 1);
    WrenchState ws;
    CaptureStdout();
    Six out = process(ws, state, frame_of(sample_a, 1000, 258));
    EXPECT_EQ(GetCapturedStdout(), "Error: 258\n");
    EXPECT_EQ(out, robot_axes(sample_a));

    CaptureStdout();
    process(ws, state, frame_of(sample_b, 2500, 0));
    EXPECT_EQ(GetCapturedStdout(), "");
}
