#include "stream/stream_pass.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "driver/sensor_state.h"
#include "fake_port.h"

namespace {
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

SensorFrame with_bad_crc(SensorFrame f) {
    f.bytes[35] ^= 0xFF;
    return f;
}

SensorFrame non_finite_frame(int n, uint16_t status = 0) {
    const float force[3] = {1.0f, NAN, 2.0f};
    const float torque[3] = {0.0f, 0.0f, INFINITY};
    return encode_frame(status, force, torque, uint32_t(1500 * n));
}

class StreamPassTest : public testing::Test {
  protected:
    void SetUp() override {
        state.enable_filter(false, 1);  // packages then carry each frame's exact sample
        ctx.search_start = port.now();
    }

    // Makes passes until the script is used up.
    void run() {
        for (int guard = 0; !port.dry(); ++guard) {
            ASSERT_LT(guard, 100000) << "passes made no progress";
            stream_pass(ctx, state, port);
        }
    }
    // Brings the context into the synced state on frame 0 and clears the output.
    void sync_on_first_frame() {
        port.add(numbered_frame(0));
        CaptureStderr();
        stream_pass(ctx, state, port);
        GetCapturedStderr();
        ASSERT_TRUE(ctx.synced);
    }

    SensorState state;
    StreamContext ctx;
    FakePort port;
};
}  // namespace

TEST_F(StreamPassTest, SearchDropsBytesUntilAHeaderAndSkipsAFalseHeader) {
    // A tail of some frame (no 0xAA in it), then a false header inside data, then frames.
    port.add({0x01, 0x7F, 0x00, 0xAB, 0x55, 0xA9});
    port.add({0xAA});
    for (int i = 0; i < frame_rest_size; ++i) port.add({i});
    port.add({0xAA});  // the one byte dropped after the failed CRC; a header if not dropped
    port.add(numbered_frame(1));
    port.add(numbered_frame(2));
    CaptureStderr();
    run();
    std::string err = GetCapturedStderr();
    EXPECT_EQ(count_of(err, "Skipping incomplete frame\n"), 1u) << err;
    EXPECT_EQ(count_of(err, "Frame synced with 0xAA header\n"), 1u) << err;
    ASSERT_EQ(port.sent.size(), 1u) << "the syncing frame is not sent";
    EXPECT_EQ(port.sent[0], mapped_of(numbered_frame(2)));
    EXPECT_TRUE(state.running.load());
}

TEST_F(StreamPassTest, SyncFrameSeedsTheSmoothedSignalOnly) {
    SensorFrame f = numbered_frame(3);
    port.add(f);
    CaptureStderr();
    stream_pass(ctx, state, port);
    EXPECT_EQ(GetCapturedStderr(), "Frame synced with 0xAA header\n");
    EXPECT_TRUE(ctx.synced);
    EXPECT_FALSE(state.running.load()) << "running comes with the first package";
    EXPECT_TRUE(port.sent.empty());
    FakePort::Wrench m = mapped_of(f);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(ctx.wrench.smoothed_raw[k], m[k]);
}

TEST_F(StreamPassTest, SyncedFramesAreJudgedByCrcThenHeader) {
    sync_on_first_frame();
    SensorFrame other_header = numbered_frame(1);
    other_header.bytes[0] = 0x55;  // CRC good: still valid
    port.add(other_header);
    port.add(with_bad_crc(numbered_frame(2)));
    port.add(numbered_frame(3));
    CaptureStderr();
    for (int i = 0; i < 3; ++i) stream_pass(ctx, state, port);
    EXPECT_EQ(GetCapturedStderr(), "CRC error\n");
    ASSERT_EQ(port.sent.size(), 2u);
    EXPECT_EQ(port.sent[0], mapped_of(numbered_frame(1)));
    EXPECT_EQ(port.sent[1], mapped_of(numbered_frame(3)));
    EXPECT_EQ(ctx.crc_error_count, 1u);
    EXPECT_EQ(ctx.frame_count, 3u);
    EXPECT_TRUE(ctx.synced);

    // Bad CRC and a wrong header: sync is lost, nothing counted, no longer running.
    EXPECT_TRUE(state.running.load());
    SensorFrame garbage = with_bad_crc(numbered_frame(4));
    garbage.bytes[0] = 0x00;
    port.add(garbage);
    port.clock += 3;
    CaptureStderr();
    stream_pass(ctx, state, port);
    EXPECT_EQ(GetCapturedStderr(), "Lost sync\n");
    EXPECT_FALSE(ctx.synced);
    EXPECT_FALSE(state.running.load());
    EXPECT_EQ(ctx.crc_error_count, 1u);
    EXPECT_EQ(ctx.frame_count, 3u);
    EXPECT_EQ(ctx.search_start, port.clock);
    EXPECT_EQ(port.sent.size(), 2u);
}

TEST(CrcReport, DueAboveOnePercentOfMoreThanHundredFrames) {
    EXPECT_TRUE(crc_report_due(2, 101));
    EXPECT_FALSE(crc_report_due(1, 101));
    EXPECT_FALSE(crc_report_due(2, 200)) << "exactly 1% is not above it";
    EXPECT_TRUE(crc_report_due(3, 200));
    EXPECT_FALSE(crc_report_due(100, 100));
    EXPECT_FALSE(crc_report_due(0, 0));
    // Counts whose hundredfold does not fit an unsigned long (on a 32-bit build: from 43
    // million errors) decide as the ratio does.
    EXPECT_TRUE(crc_report_due(ULONG_MAX / 50, ULONG_MAX)) << "2%";
    EXPECT_FALSE(crc_report_due(ULONG_MAX / 200, ULONG_MAX)) << "0.5%";
    EXPECT_TRUE(crc_report_due(ULONG_MAX, ULONG_MAX));
}

TEST_F(StreamPassTest, CrcRatioIsReportedOnBothStreamsWhileItHolds) {
    sync_on_first_frame();
    for (int i = 1; i <= 98; ++i) port.add(numbered_frame(i));
    port.add(with_bad_crc(numbered_frame(99)));
    port.add(with_bad_crc(numbered_frame(100)));  // 2/100: not yet
    for (int i = 101; i <= 200; ++i) port.add(numbered_frame(i));
    CaptureStderr();
    CaptureStdout();
    run();
    std::string out = GetCapturedStdout();
    std::string err = GetCapturedStderr();
    // The log keeps every report; standard error the first eight of each kind.
    EXPECT_EQ(count_of(out, "Too many crc errors: "), 99u) << "2/101 to 2/199";
    EXPECT_EQ(count_of(out, "Too many crc errors: 2/100\n"), 0u);
    EXPECT_EQ(count_of(out, "Too many crc errors: 2/101\n"), 1u);
    EXPECT_EQ(count_of(out, "Too many crc errors: 2/199\n"), 1u);
    EXPECT_EQ(count_of(out, "Too many crc errors: 2/200\n"), 0u);
    std::string burst = "CRC error\nCRC error\n";
    for (int f = 101; f <= 108; ++f) burst += "Too many crc errors: 2/" + std::to_string(f) + "\n";
    EXPECT_EQ(err, burst);
    EXPECT_EQ(port.sent.size(), 198u);

    // A quarter of a second on, the next one goes, with the count of those left out; the
    // CRC errors still had room in their burst.
    const uint64_t left_out = lines_left_out.load();
    port.clock_ns += 250000000;
    port.add(with_bad_crc(numbered_frame(201)));
    port.add(with_bad_crc(numbered_frame(202)));
    CaptureStderr();
    CaptureStdout();
    run();
    EXPECT_EQ(count_of(GetCapturedStdout(), "Too many crc errors: "), 2u);
    EXPECT_EQ(GetCapturedStderr(),
              "CRC error\nLeft out 91 more \"Too many crc errors\" lines\n"
              "Too many crc errors: 3/201\nCRC error\n");
    EXPECT_EQ(lines_left_out.load(), left_out + 1);
}

// The rate limit of a per-frame report on standard error, row by row: a burst of eight,
// then four a second, and the burst whole again after a quiet spell.
TEST(ReportLimit, ABurstThenAFewASecondWithTheRestCounted) {
    ReportLimit limit;
    const int64_t t0 = 5000000000, t1 = t0 + 10000000000;
    const struct {
        int64_t at_ns;
        int times;
        bool due;
    } rows[] = {{t0, 8, true},
                {t0 + 1, 1, false},
                {t0 + 249999999, 1, false},
                {t0 + 250000000, 1, true},
                {t0 + 250000001, 1, false},
                {t1, 8, true},
                {t1, 1, false}};
    for (const auto& row : rows)
        for (int k = 0; k < row.times; ++k)
            EXPECT_EQ(report_due(limit, row.at_ns), row.due) << row.at_ns << " #" << k;
    EXPECT_EQ(limit.left_out, 4u);
}

TEST_F(StreamPassTest, SilentSensorEndsTheProcessOnlyAfterTenSeconds) {
    // 10 s is not more than 10 s: the pass returns (in a child, so an exit fails cleanly).
    port.clock = ctx.search_start + 10;
    EXPECT_EXIT(
        {
            stream_pass(ctx, state, port);
            fprintf(stderr, "pass returned");
            exit(0);
        },
        testing::ExitedWithCode(0), "^pass returned$");

    port.clock = ctx.search_start + 11;
    EXPECT_EXIT(stream_pass(ctx, state, port), testing::ExitedWithCode(1),
                "^Read frame header from serial port failed! Exiting...\n$");

    // Bytes that never synchronise do not restart the timer: while they come without a gap
    // no limit applies, but the first header read that fails after them ends the process.
    ctx.search_start = port.clock;
    port.clock += 100;
    port.add({0x01, 0x02, 0x03});
    run();
    EXPECT_EQ(ctx.search_start, port.clock - 100);
    EXPECT_EXIT(stream_pass(ctx, state, port), testing::ExitedWithCode(1),
                "^Read frame header from serial port failed! Exiting...\n$");
}

TEST_F(StreamPassTest, LostSyncRestartsTheHeaderTimer) {
    sync_on_first_frame();
    SensorFrame garbage = with_bad_crc(numbered_frame(1));
    garbage.bytes[0] = 0x01;
    port.add(garbage);
    port.clock += 30;
    CaptureStderr();
    stream_pass(ctx, state, port);
    stream_pass(ctx, state, port);  // silent, but the timer started at the loss
    EXPECT_EQ(GetCapturedStderr(), "Lost sync\n");
    EXPECT_EQ(ctx.search_start, port.clock);
}

TEST_F(StreamPassTest, ReconfigurationWhileSyncedPausesThenResyncsWithFreshCounters) {
    sync_on_first_frame();
    port.add(with_bad_crc(numbered_frame(1)));
    port.add(numbered_frame(2));
    CaptureStderr();
    stream_pass(ctx, state, port);
    stream_pass(ctx, state, port);
    EXPECT_EQ(ctx.crc_error_count, 1u);
    EXPECT_EQ(ctx.frame_count, 2u);

    // Raised while frame 3 is read: the frame still goes out, then the stream stops.
    port.at_offset(port.delivered() + frame_size, [&] { state.configuring = true; });
    port.add(numbered_frame(3));
    port.add(numbered_frame(4));
    port.add(numbered_frame(5));
    port.clock += 5;
    stream_pass(ctx, state, port);
    EXPECT_EQ(port.sent.size(), 2u);
    EXPECT_FALSE(ctx.synced);
    EXPECT_FALSE(state.running.load());
    EXPECT_EQ(ctx.search_start, port.clock);

    const int reads = port.reads;
    port.clock += 60;  // a long reconfiguration: no header timeout while paused, nor after
    for (int i = 0; i < 50; ++i) stream_pass(ctx, state, port);
    EXPECT_EQ(port.reads, reads) << "nothing is read while configuring";
    EXPECT_FALSE(state.running.load());
    EXPECT_FALSE(ctx.synced);
    EXPECT_EQ(ctx.search_start, port.clock) << "the timer starts again when the pause ends";

    state.configuring = false;
    run();
    std::string err = GetCapturedStderr();
    EXPECT_EQ(count_of(err, "Frame synced with 0xAA header\n"), 1u) << err;
    EXPECT_TRUE(ctx.synced);
    EXPECT_TRUE(state.running.load());
    EXPECT_EQ(ctx.crc_error_count, 0u);
    EXPECT_EQ(ctx.frame_count, 1u);
    ASSERT_EQ(port.sent.size(), 3u);
    EXPECT_EQ(port.sent[2], mapped_of(numbered_frame(5)));
}

TEST_F(StreamPassTest, ReconfigurationAtTheMomentOfSyncSendsNothing) {
    port.at_offset(frame_size, [&] { state.configuring = true; });
    port.add(numbered_frame(1));
    port.clock += 4;
    CaptureStderr();
    stream_pass(ctx, state, port);
    EXPECT_EQ(GetCapturedStderr(), "Frame synced with 0xAA header\n");
    EXPECT_FALSE(state.running.load());
    EXPECT_FALSE(ctx.synced);
    EXPECT_EQ(ctx.search_start, port.clock);
    EXPECT_TRUE(port.sent.empty());
}

TEST_F(StreamPassTest, FailedSyncedReadNeverResendsTheOldFrame) {
    sync_on_first_frame();
    port.add(numbered_frame(1));
    port.silence();  // at a frame boundary: the buffer still holds frame 1 whole
    port.add(numbered_frame(2));
    port.add(numbered_frame(3));
    SensorFrame partial = numbered_frame(4);
    port.add(partial.bytes, 10);  // cut short: the buffer is a mix of frames 3 and 4
    port.silence();
    port.clock += 7;
    CaptureStderr();
    stream_pass(ctx, state, port);
    stream_pass(ctx, state, port);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err, "Read frame from serial port failed while synched!\n");
    EXPECT_FALSE(ctx.synced);
    EXPECT_FALSE(state.running.load());
    EXPECT_EQ(ctx.search_start, port.clock);
    ASSERT_EQ(port.sent.size(), 1u);

    CaptureStderr();
    run();
    err = GetCapturedStderr();
    EXPECT_EQ(count_of(err, "Read frame from serial port failed while synched!\n"), 1u) << err;
    EXPECT_EQ(count_of(err, "CRC error"), 0u) << err;
    ASSERT_EQ(port.sent.size(), 2u) << "one package per valid synced frame, no more";
    EXPECT_EQ(port.sent[1], mapped_of(numbered_frame(3)));
}

TEST_F(StreamPassTest, FailedReadBehindHeaderDoesNotSyncOnTheOldBuffer) {
    ctx.frame = numbered_frame(1);  // a valid frame left over from before
    state.running = true;
    port.add({0xAA});
    port.silence();
    port.clock += 2;
    CaptureStderr();
    stream_pass(ctx, state, port);
    EXPECT_EQ(GetCapturedStderr(), "Read frame from serial port failed!\n");
    EXPECT_FALSE(ctx.synced);
    EXPECT_FALSE(state.running.load());
    EXPECT_EQ(ctx.search_start, port.clock);

    // Likewise with part of a new frame read in.
    SensorFrame next = numbered_frame(2);
    port.add(next.bytes, 20);
    port.silence();
    CaptureStderr();
    stream_pass(ctx, state, port);
    EXPECT_EQ(GetCapturedStderr(), "Read frame from serial port failed!\n");
    EXPECT_FALSE(ctx.synced);
    EXPECT_TRUE(port.dry()) << "no further byte dropped";
}

TEST_F(StreamPassTest, CrcMismatchInTheSearchNeedsOneMoreByte) {
    port.add(with_bad_crc(numbered_frame(1)));
    CaptureStderr();
    EXPECT_THROW(stream_pass(ctx, state, port), PortDead);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(StreamPassTest, SendFailureEndsTheProcess) {
    sync_on_first_frame();
    port.add(numbered_frame(1));
    port.send_result = 1;
    EXPECT_EXIT(stream_pass(ctx, state, port), testing::ExitedWithCode(1),
                "Sending data package to controller failed");
}

TEST_F(StreamPassTest, NonFiniteFramesAreDroppedButMeasured) {
    // In the search such a frame still syncs, but leaves the smoothed signal alone.
    for (int k = 0; k < 6; ++k) ctx.wrench.smoothed_raw[k] = 7.0;
    port.add(non_finite_frame(0));
    CaptureStderr();
    stream_pass(ctx, state, port);
    EXPECT_EQ(GetCapturedStderr(),
              "Frame synced with 0xAA header\nNon-finite sample in frame, dropped\n");
    EXPECT_TRUE(ctx.synced);
    EXPECT_EQ(state.stats.non_finite.load(), 1u) << "every such line is counted";
    for (int k = 0; k < 6; ++k) EXPECT_EQ(ctx.wrench.smoothed_raw[k], 7.0);

    // A dropped frame reports its status and takes its place in the sample frequency:
    // frame 2 is measured 1500 us after it, not after nothing.
    state.enable_filter(true, 1);
    port.add(non_finite_frame(1, 258));
    port.add(numbered_frame(2));
    CaptureStderr();
    CaptureStdout();
    run();
    EXPECT_EQ(GetCapturedStdout(), "Error: 258\n");
    EXPECT_EQ(GetCapturedStderr(), "Non-finite sample in frame, dropped\n");
    EXPECT_NEAR(state.get_sample_freq(), 666.667, 0.001);
    EXPECT_EQ(state.stats.non_finite.load(), 2u);
    EXPECT_EQ(state.stats.frames.load(), 2u);
    ASSERT_EQ(port.sent.size(), 1u);
    for (double v : port.sent[0]) EXPECT_TRUE(std::isfinite(v));
    // The first finite frame after the non-finite sync seeds the smoothed signal.
    FakePort::Wrench m = mapped_of(numbered_frame(2));
    for (int k = 0; k < 6; ++k) EXPECT_EQ(ctx.wrench.smoothed_raw[k], m[k]);
}

// running and the counters as the control service reads them: running comes with a package
// and goes with the loss of sync or 0.1 s of frames that send nothing.
TEST_F(StreamPassTest, RunningAndCountersFollowThePackages) {
    const SensorState::Statistics& stats = state.stats;
    sync_on_first_frame();
    EXPECT_FALSE(state.running.load());
    port.add(numbered_frame(1));
    stream_pass(ctx, state, port);
    EXPECT_TRUE(state.running.load());
    EXPECT_EQ(stats.last_package_ns.load(), port.clock_ns);
    FakePort::Wrench m = mapped_of(numbered_frame(1));
    for (int k = 0; k < 6; ++k) EXPECT_EQ(stats.last_wrench[k].load(), m[k]);

    struct Row {
        SensorFrame frame;
        int64_t after_ns;  // since the last package
        bool running;
    } rows[] = {
        {with_bad_crc(numbered_frame(2)), 1000000, true},  // the first frame sending nothing
        {non_finite_frame(3), 101000000, true},
        {with_bad_crc(numbered_frame(4)), 101000001, false},
        {non_finite_frame(5), 900000000, false},
        {numbered_frame(6), 900000000, true},
    };
    const int64_t last = port.clock_ns;
    CaptureStderr();
    for (const Row& row : rows) {
        port.clock_ns = last + row.after_ns;
        port.add(row.frame);
        stream_pass(ctx, state, port);
        EXPECT_EQ(state.running.load(), row.running) << row.after_ns;
    }
    SensorFrame garbage = with_bad_crc(numbered_frame(7));
    garbage.bytes[0] = 0x00;
    port.add(garbage);
    port.add({0xAA});
    port.silence();
    port.add(numbered_frame(8));
    port.add(numbered_frame(9));
    port.add(numbered_frame(10));
    port.silence();
    run();
    GetCapturedStderr();
    EXPECT_FALSE(state.running.load());

    EXPECT_EQ(stats.synchronisations.load(), 2u);
    EXPECT_EQ(stats.frames.load(), 6u);
    EXPECT_EQ(stats.packages.load(), 4u);
    EXPECT_EQ(stats.packages.load(), port.sent.size());
    EXPECT_EQ(stats.crc_errors.load(), 2u);
    EXPECT_EQ(stats.non_finite.load(), 2u);
    EXPECT_EQ(stats.lost_sync.load(), 1u);
    EXPECT_EQ(stats.read_failures.load(), 2u);  // behind the lone header, and while synced
}

// For random streams of valid frames, garbage, corrupted CRCs and truncations, every package
// is the sample of one valid frame that had just been read whole, in order, and once; and a
// run of clean frames after a silence is sent whole but for its syncing frame.
TEST(StreamProperty, PackagesAreExactlyTheValidSyncedFrames) {
    size_t packages = 0, runs_checked = 0;
    for (unsigned seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        auto pick = [&](int n) { return int(rng() % unsigned(n)); };

        SensorState state;
        state.enable_filter(false, 1);
        StreamContext ctx;
        FakePort port;
        ctx.search_start = port.now();

        struct Valid {
            size_t end;  // stream offset just behind the frame
            FakePort::Wrench sample;
        };
        std::vector<Valid> valid;
        std::vector<std::pair<size_t, size_t>> clean_runs;  // [first, last] indices into valid
        bool after_silence = true;
        int n = 0;
        for (int segment = 0; segment < 60; ++segment) {
            int kind = pick(10);
            if (kind < 5) {  // a run of good frames
                size_t first = valid.size();
                for (int i = 1 + pick(4); i > 0; --i) {
                    SensorFrame f = numbered_frame(++n);
                    // The header is not covered by the CRC; only a search needs it right.
                    if (valid.size() > first && pick(4) == 0)
                        f.bytes[0] = uint8_t(rng());
                    port.add(f);
                    valid.push_back({port.scripted(), mapped_of(f)});
                }
                if (after_silence && valid.size() - first >= 2)
                    clean_runs.push_back({first, valid.size() - 1});
                after_silence = false;
            } else if (kind == 5) {  // garbage, with 0xAA likely among it
                for (int i = 1 + pick(60); i > 0; --i) port.add({pick(3) == 0 ? 0xAA : pick(256)});
                after_silence = false;
            } else if (kind == 6) {  // corrupted payload or CRC
                SensorFrame f = numbered_frame(++n);
                f.bytes[1 + pick(36)] ^= uint8_t(1 + pick(255));
                port.add(f);
                after_silence = false;
            } else if (kind == 7) {  // a frame cut short, then silence
                SensorFrame f = numbered_frame(++n);
                port.add(f.bytes, pick(frame_size));
                port.silence();
                after_silence = true;
            } else if (kind == 8) {
                port.silence();
                after_silence = true;
            } else {  // CRC-valid but not finite: never sent
                port.add(non_finite_frame(++n));
                after_silence = false;
            }
        }

        CaptureStderr();
        CaptureStdout();
        size_t dead_at = SIZE_MAX;
        try {
            for (int guard = 0; !port.dry(); ++guard) {
                ASSERT_LT(guard, 100000);
                stream_pass(ctx, state, port);
            }
        } catch (const PortDead&) {
            dead_at = port.delivered();  // the real process would have ended here
        }
        GetCapturedStdout();
        GetCapturedStderr();

        std::vector<bool> was_sent(valid.size(), false);
        size_t next = 0;  // valid frames before this one can no longer be sent
        for (size_t i = 0; i < port.sent.size(); ++i) {
            size_t j = next;
            while (j < valid.size() && valid[j].end != port.sent_at[i]) ++j;
            ASSERT_LT(j, valid.size()) << "package " << i << " is no fresh valid frame, in order";
            EXPECT_EQ(port.sent[i], valid[j].sample) << "package " << i;
            was_sent[j] = true;
            next = j + 1;
        }
        for (auto [first, last] : clean_runs) {
            if (valid[last].end > dead_at)
                continue;
            ++runs_checked;
            for (size_t j = first + 1; j <= last; ++j)
                EXPECT_TRUE(was_sent[j]) << "clean frame " << j << " behind a silence not sent";
        }
        packages += port.sent.size();
    }
    // The streams must exercise both checks, not pass them vacuously.
    EXPECT_GT(packages, 3000u);
    EXPECT_GT(runs_checked, 300u);
}

// A controller that takes nothing: each refused package is kept until a newer one replaces
// it (then it is skipped), running goes after 0.1 s, and the controller is lost after 10 s
// without its acknowledging data while a package waits. A send returning is not taking.
TEST_F(StreamPassTest, SkippedPackagesAndTheLostController) {
    sync_on_first_frame();
    port.add(numbered_frame(1));
    stream_pass(ctx, state, port);
    ASSERT_TRUE(state.running.load());
    const int64_t first = port.clock_ns + 1000000;
    struct Row {
        int send_result;
        int64_t at_ns;  // since the first refusal
        bool took;
        bool running;
        uint64_t skipped, packages;
    } rows[] = {
        {2, 0, false, true, 0, 1},
        {2, 100000001, false, false, 1, 1},
        {2, 10000000000, false, false, 2, 1},  // 10 s is not more than 10 s
        {2, 10000000000, true, false, 3, 1},   // data taken: the time starts again
        {2, 20000000000, false, false, 4, 1},
        {0, 20000000000, false, true, 5, 2},  // sent, but nothing taken: the time runs on
        {2, 20000000000, false, true, 5, 2},
        {0, 20000000000, true, true, 6, 3},   // taken: nothing waits
        {2, 30000000001, false, true, 6, 3},  // the time starts at this refusal
    };
    int n = 2;
    for (const Row& row : rows) {
        port.send_result = row.send_result;
        port.took = row.took;
        port.clock_ns = first + row.at_ns;
        port.add(numbered_frame(n++));
        stream_pass(ctx, state, port);
        EXPECT_EQ(state.running.load(), row.running) << row.at_ns;
        EXPECT_EQ(state.stats.skipped_packages.load(), row.skipped) << row.at_ns;
        EXPECT_EQ(state.stats.packages.load(), row.packages) << row.at_ns;
    }
    // The last package sent is what get_wrench shows, not one that was skipped.
    FakePort::Wrench m = mapped_of(numbered_frame(9));
    for (int k = 0; k < 6; ++k) EXPECT_EQ(state.stats.last_wrench[k].load(), m[k]);

    port.clock_ns = first + 40000000002;
    port.add(numbered_frame(n));
    EXPECT_EXIT(stream_pass(ctx, state, port), testing::ExitedWithCode(1),
                "^Controller took no data package for 10 s, exiting\n$");
}

// When the frames stop, the refused package goes from the search once the controller takes
// it: its last value is the newest frame's, and every frame is a package or skipped.
TEST_F(StreamPassTest, AKeptPackageGoesWhenTheFramesStop) {
    sync_on_first_frame();
    port.send_result = 2;
    port.add(numbered_frame(1));
    port.add(numbered_frame(2));
    port.silence();
    CaptureStderr();
    run();
    GetCapturedStderr();
    ASSERT_FALSE(ctx.synced);
    stream_pass(ctx, state, port);  // retried within a millisecond: not offered again
    EXPECT_EQ(port.sent.size(), 2u);
    port.send_result = 0;
    port.clock_ns += 1000000;
    stream_pass(ctx, state, port);
    ASSERT_EQ(port.sent.size(), 3u);
    EXPECT_EQ(port.sent.back(), mapped_of(numbered_frame(2)));
    EXPECT_EQ(state.stats.packages.load() + state.stats.skipped_packages.load(), 2u);
    port.clock_ns += 1000000;
    stream_pass(ctx, state, port);
    EXPECT_EQ(port.sent.size(), 3u) << "sent once";
}

TEST(StreamDecisions, ControllerLostAfterMoreThanTenSeconds) {
    const int64_t t = 7000000000;
    EXPECT_FALSE(controller_lost(0, t + 20000000000)) << "nothing refused yet";
    EXPECT_FALSE(controller_lost(t, t));
    EXPECT_FALSE(controller_lost(t, t + 10000000000));
    EXPECT_TRUE(controller_lost(t, t + 10000000001));
}

// Recipe id 0: the controller discards every package, so the stream streams but never runs.
TEST_F(StreamPassTest, RecipeIdZeroStreamsButIsNotRunning) {
    const uint8_t refused = 0;
    state.set_recipe(&refused);
    sync_on_first_frame();
    port.add(numbered_frame(1));
    port.add(numbered_frame(2));
    run();
    EXPECT_EQ(port.sent.size(), 2u);
    EXPECT_EQ(state.stats.packages.load(), 2u);
    EXPECT_FALSE(state.running.load());
}
