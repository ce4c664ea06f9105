#include "ReconnectPolicy.h"

#include <QRandomGenerator>
#include <algorithm>

TReconnectPolicy::ms TReconnectPolicy::Step() const {
    ms step = FFirst;
    for (int i = 0; i < FAttempts && step < FCap; ++i)
        step *= 2;
    return std::min(step, FCap);
}

TReconnectPolicy::ms TReconnectPolicy::NextDelay() {
    const ms step = Step();
    ++FAttempts;
    const qint64 least = std::max<qint64>(1, step.count() / 10);
    return ms(
        QRandomGenerator::global()->bounded(least, std::max(least, qint64(step.count())) + 1));
}

void TReconnectPolicy::Reset() {
    FAttempts = 0;
}

void TReconnectPolicy::Online() {
    FOnline = true;
    FStable.setRemainingTime(FStableAfter);
}

void TReconnectPolicy::Lost() {
    if (FOnline && FStable.hasExpired())
        Reset();
    FOnline = false;
}

void TReconnectPolicy::SetSteps(ms First, ms Last) {
    FFirst = First;
    FCap = Last;
}
