#include "ReconnectPolicy.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// Each delay lies between a tenth of its step and the step; the steps double from
// the first to the cap and stay there.
TEST(ReconnectPolicy, BackoffDoublesUpToTheCapWithJitter) {
    TReconnectPolicy policy;
    const std::chrono::milliseconds steps[] = {1s, 2s, 4s, 8s, 16s, 32s, 60s, 60s, 60s};
    for (int round = 0; round < 50; ++round) {
        policy.Reset();
        for (const auto step : steps) {
            ASSERT_EQ(policy.Step(), step);
            const auto delay = policy.NextDelay();
            EXPECT_GE(delay, step / 10);
            EXPECT_LE(delay, step);
        }
    }
}

TEST(ReconnectPolicy, DefaultsAreTheDocumentedIntervals) {
    EXPECT_EQ(TReconnectPolicy::PingInterval, 60s);
    EXPECT_EQ(TReconnectPolicy::PingTimeout, 30s);
    EXPECT_EQ(TReconnectPolicy::FirstStep, 1s);
    EXPECT_EQ(TReconnectPolicy::Cap, 60s);
    EXPECT_EQ(TReconnectPolicy::StableAfter, 60s);
    // A black-holed link is found within the ping interval and its time-out.
    EXPECT_LE(TReconnectPolicy::PingInterval + TReconnectPolicy::PingTimeout, 90s);
}

// Only a session that stood long enough starts the backoff afresh.
TEST(ReconnectPolicy, StableSessionResetsTheBackoff) {
    TReconnectPolicy policy;
    policy.NextDelay();
    policy.NextDelay();
    policy.Online();
    policy.Lost(); // stood for no time at all
    EXPECT_EQ(policy.Step(), 4s);

    policy.SetStableAfter(0ms);
    policy.Online();
    policy.Lost();
    EXPECT_EQ(policy.Step(), 1s);
    policy.Lost(); // a second loss without a session in between changes nothing
    policy.NextDelay();
    policy.Lost();
    EXPECT_EQ(policy.Step(), 2s);
}

TEST(ReconnectPolicy, ShortenedSteps) {
    TReconnectPolicy policy;
    policy.SetSteps(50ms, 120ms);
    EXPECT_LE(policy.NextDelay(), 50ms);
    EXPECT_LE(policy.NextDelay(), 100ms);
    EXPECT_EQ(policy.Step(), 120ms);
}

} // namespace
