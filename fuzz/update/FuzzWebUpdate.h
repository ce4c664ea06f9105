#pragma once

#include "wuWebUpdate.h"

#include <cstdlib>

// Opens the page reader and the comparison to the fuzzers.
class TFuzzWebUpdate : public TwuWebUpdate {
public:
    using TwuWebUpdate::InfoLines;
    using TwuWebUpdate::IsNewerVersion;
    using TwuWebUpdate::ParseInfo;

    TFuzzWebUpdate() {
        OnNoUpdateFound = [this](TwuWebUpdate*) {
            ++NoUpdateFound;
        };
    }

    // Compares and checks that OnNoUpdateFound came exactly with a false result.
    bool CheckedIsNewerVersion() {
        NoUpdateFound = 0;
        const bool newer = IsNewerVersion();
        if (NoUpdateFound != (newer ? 0 : 1))
            std::abort();
        return newer;
    }

    int NoUpdateFound = 0;
};
