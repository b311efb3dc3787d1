// The sensor's reconfiguration command sequence.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "driver/sensor_state.h"
#include "pty_pair.h"
#include "sensor/reconfigure_command.h"

using testutil::PtyPair;
using testutil::TimedByte;
using namespace std::chrono_literals;

namespace {
std::string text_of(const std::vector<TimedByte>& bytes, size_t from = 0, size_t to = SIZE_MAX) {
    std::string s;
    for (size_t i = from; i < bytes.size() && i < to; ++i) s.push_back(char(bytes[i].value));
    return s;
}

double seconds_between(const TimedByte& a, const TimedByte& b) {
    return std::chrono::duration<double>(b.at - a.at).count();
}
}  // namespace

TEST(ReconfigureNumber, FilterOnIsFixed) {
    for (double rate : {-5.0, 0.0, 119.999, 120.0, 250.0, 1000.0, 50000.0, 1e300})
        EXPECT_EQ(reconfigure_number(true, rate), 59) << rate;
}

TEST(ReconfigureNumber, FilterOffFollowsRate) {
    const struct {
        double rate;
        int number;
    } cases[] = {
        {119.999, 380}, {120.0, 395},  {125.0, 380},     {250.0, 190}, {1000.0, 47},
        {47500.0, 1},   {50000.0, 0},  {0.0, 380},       {-5.0, 380},  {-1e300, 380},
        {1e300, 0},     {INFINITY, 0}, {-INFINITY, 380},
    };
    for (const auto& c : cases) EXPECT_EQ(reconfigure_number(false, c.rate), c.number) << c.rate;
}

TEST(ReconfigureNumber, NanRateIsTheLowRateSetting) {
    // Not a rate at all: the setting for slow rates, never a number converted from NaN.
    EXPECT_EQ(reconfigure_number(false, NAN), 380);
    EXPECT_EQ(reconfigure_number(true, NAN), 59);
}

TEST(FormatReconfigureLine, Lines) {
    char buf[48];
    EXPECT_EQ(format_reconfigure_line(buf, sizeof buf, 59), 11);
    EXPECT_STREQ(buf, "f,59,0,0,1\n");
    EXPECT_EQ(format_reconfigure_line(buf, sizeof buf, 0), 10);
    EXPECT_STREQ(buf, "f,0,0,0,1\n");
    EXPECT_EQ(format_reconfigure_line(buf, sizeof buf, 395), 12);
    EXPECT_STREQ(buf, "f,395,0,0,1\n");
}

TEST(ReconfigureSensor, SendsTheSequenceWithItsPause) {
    PtyPair pty;
    SensorState state;  // filter on
    state.serial_fd = pty.slave;

    std::vector<TimedByte> got;
    bool configuring_before_pause = false;
    bool configuring_in_pause = false;
    std::thread reader([&] {
        got = testutil::read_master(pty.master, 13, 3000ms);  // "C", the line, "s"
        configuring_before_pause = state.configuring.load();
        // Nothing may come for the next 1.9 s.
        auto quiet = testutil::read_master(pty.master, 1, 1900ms);
        configuring_in_pause = state.configuring.load();
        got.insert(got.end(), quiet.begin(), quiet.end());
        auto rest = testutil::read_master(pty.master, 15 - got.size(), 3000ms);
        got.insert(got.end(), rest.begin(), rest.end());
    });
    testing::internal::CaptureStdout();
    auto call_start = std::chrono::steady_clock::now();
    int32_t result = state.reconfigure_sensor(100.0);
    std::string echoed = testing::internal::GetCapturedStdout();
    bool configuring_after = state.configuring.load();
    reader.join();

    EXPECT_EQ(result, 0);
    EXPECT_EQ(state.stats.reconfigurations.load(), 1u);
    ASSERT_EQ(text_of(got), "Cf,59,0,0,1\ns#R");
    EXPECT_EQ(echoed, "f,59,0,0,1\n");
    EXPECT_TRUE(configuring_before_pause);
    EXPECT_TRUE(configuring_in_pause);
    EXPECT_FALSE(configuring_after);
    EXPECT_LT(seconds_between(got[0], got[12]), 1.0);  // "C" to "s": no pause yet
    // A byte is stamped when the reader thread gets it, which under load may be late; "#"
    // is never early. So the wait counts in full from the call's start, and between "s" and
    // "#" with a wide margin.
    EXPECT_GE(std::chrono::duration<double>(got[13].at - call_start).count(), 2.0);
    double pause = seconds_between(got[12], got[13]);
    EXPECT_GE(pause, 1.5);
    EXPECT_LT(pause, 2.9);
    // Nothing more after "R".
    EXPECT_TRUE(testutil::read_master(pty.master, 1, 100ms).empty());
}

TEST(ReconfigureSensor, OverlappingCallsDoNotInterleave) {
    PtyPair pty;
    SensorState state;
    state.enable_filter(false, 1);
    state.serial_fd = pty.slave;
    const std::string seq250 = "Cf,190,0,0,1\ns#R";
    const std::string seq1000 = "Cf,47,0,0,1\ns#R";

    std::vector<TimedByte> got;
    std::thread reader(
        [&] { got = testutil::read_master(pty.master, seq250.size() + seq1000.size(), 3000ms); });
    testing::internal::CaptureStdout();
    int32_t r1 = -1, r2 = -1;
    std::thread first([&] { r1 = state.reconfigure_sensor(250.0); });
    std::thread second([&] { r2 = state.reconfigure_sensor(1000.0); });
    first.join();
    second.join();
    std::string echoed = testing::internal::GetCapturedStdout();
    reader.join();

    EXPECT_EQ(r1, 0);
    EXPECT_EQ(r2, 0);
    EXPECT_FALSE(state.configuring.load());
    std::string line = text_of(got);
    EXPECT_TRUE(line == seq250 + seq1000 || line == seq1000 + seq250) << line;
    // The log shows the lines in the order they went out.
    bool slow_first = line.rfind(seq250, 0) == 0;
    EXPECT_EQ(echoed, slow_first ? "f,190,0,0,1\nf,47,0,0,1\n" : "f,47,0,0,1\nf,190,0,0,1\n");
}

// A port whose writes fail (an adapter gone: EIO) still gets the whole sequence tried, but
// the call answers 1 and is not counted as a reconfiguration.
TEST(ReconfigureSensor, FailedWritesFinishAndAnswerOne) {
    SensorState state;
    int read_only = open("/dev/null", O_RDONLY);
    ASSERT_GE(read_only, 0);
    state.serial_fd = read_only;
    testing::internal::CaptureStdout();
    EXPECT_EQ(state.reconfigure_sensor(500.0), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "f,59,0,0,1\n");
    EXPECT_FALSE(state.configuring.load());
    EXPECT_EQ(state.stats.reconfigurations.load(), 0u);
    close(read_only);
}

TEST(ReconfigureSensor, WithoutPortWritesNothing) {
    SensorState state;
    testing::internal::CaptureStdout();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(state.reconfigure_sensor(500.0), 1);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(state.configuring.load());
    EXPECT_LT(seconds, 1.0);  // no pause: nothing was sent
}
