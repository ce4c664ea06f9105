#pragma once

// How a session keeps itself alive: when the link counts as dead, and how long to
// wait before the next login after a lost connection. Every interval of that kind is
// here, in one place; tests shorten them through the setters.

#include <QDeadlineTimer>
#include <chrono>

class TReconnectPolicy {
public:
    using ms = std::chrono::milliseconds;

    // Nothing has arrived for this long: the client pings its server.
    static constexpr ms PingInterval{60000};
    // No answer to that ping within this long is a lost connection.
    static constexpr ms PingTimeout{30000};
    // A connection attempt (lookup, connect, stream, login, bind, session) that is not
    // online within this long has failed.
    static constexpr ms AttemptTimeout{30000};
    // The backoff: the first wait is up to FirstStep, each further one up to twice
    // the one before, never more than Cap.
    static constexpr ms FirstStep{1000};
    static constexpr ms Cap{60000};
    // A session that stood this long starts the backoff afresh when it is lost.
    static constexpr ms StableAfter{60000};

    // The wait before the next attempt, drawn at random up to the current step (full
    // jitter, so that many clients that lost the same server do not return together,
    // but never below a tenth of the step); then doubles the step up to the cap.
    ms NextDelay();
    // The current step: the most that the next delay can be.
    ms Step() const;
    // Starts the backoff afresh.
    void Reset();
    // A session is online.
    void Online();
    // The session was lost: when it stood for StableAfter, the backoff starts afresh.
    void Lost();

    void SetSteps(ms First, ms Last);
    void SetStableAfter(ms Value) { FStableAfter = Value; }
    int Attempts() const { return FAttempts; }

private:
    ms FFirst = FirstStep;
    ms FCap = Cap;
    ms FStableAfter = StableAfter;
    int FAttempts = 0;
    QDeadlineTimer FStable;
    bool FOnline = false;
};
