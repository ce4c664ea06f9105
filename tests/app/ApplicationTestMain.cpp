#include "ApplicationTestMain.h"

#include "Application.h"

#include <gtest/gtest.h>

TApplication* gApp = nullptr;

int main(int argc, char** argv) {
    // As the shared test main: CTest lists the tests outside the test environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TApplication::PrepareWebView();
    TApplication app(argc, argv);
    gApp = &app;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
