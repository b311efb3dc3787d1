// When the watchdog is fed: each phase within its bound, the stream while it makes passes.

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "driver/service_notify.h"

TEST(ServiceNotify, WatchdogFedOnlyWhileProgressing) {
    constexpr int64_t s = 1000000000;
    using P = ServicePhase;
    struct Row {
        P phase;
        int64_t phase_ns, configuring_ns;  // configuring_ns < 0: no reconfiguration runs
        uint64_t passes_before;            // passes now: 5
        bool alive;
    } rows[] = {
        {P::scanning, 1 * s, -1, 0, true},    {P::scanning, 6 * s, -1, 0, false},
        {P::probing, 5 * s, -1, 0, true},     {P::probing, 8 * s, -1, 0, false},
        {P::connecting, 60 * s, -1, 0, true}, {P::connecting, 91 * s, -1, 0, false},
        {P::streaming, 0, -1, 4, true},       {P::streaming, 0, -1, 5, false},
        {P::streaming, 0, 2 * s, 4, true},    {P::streaming, 0, 6 * s, 4, false},
    };
    for (const Row& r : rows) {
        NotifyView now;
        now.phase = r.phase;
        now.phase_ns = r.phase_ns;
        now.configuring = r.configuring_ns >= 0;
        now.configuring_ns = r.configuring_ns;
        now.passes = 5;
        NotifyView last = now;
        last.passes = r.passes_before;
        EXPECT_EQ(notify_alive(now, last), r.alive)
            << int(r.phase) << " " << r.phase_ns << " " << r.configuring_ns;
    }
}

TEST(ServiceNotify, TickIsAQuarterOfTheWatchdogWithinBounds) {
    // Periods whose nanoseconds overflow once ticked negative and spun the thread.
    const std::pair<uint64_t, int64_t> rows[] = {
        {0, 500000000},    {2000000, 500000000},          {100000, 25000000},      {1, 10000000},
        {40000, 10000000}, {9300000000000000, 500000000}, {UINT64_MAX, 500000000},
    };
    for (const auto& [watchdog_us, tick_ns] : rows)
        EXPECT_EQ(notify_tick_ns(watchdog_us), tick_ns) << watchdog_us;
}
