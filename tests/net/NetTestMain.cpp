#include "NetTestMain.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <stdexcept>

namespace {

QStringList EscapedErrors;

// Catches what escapes an event handler, as the program's application object does.
class TTestApplication : public QCoreApplication {
public:
    using QCoreApplication::QCoreApplication;

    bool notify(QObject* Receiver, QEvent* Event) override {
        try {
            return QCoreApplication::notify(Receiver, Event);
        } catch (const std::exception& error) {
            EscapedErrors << QString::fromUtf8(error.what());
            return false;
        }
    }
};

} // namespace

QStringList TakeEscapedErrors() {
    return std::exchange(EscapedErrors, {});
}

int main(int argc, char** argv) {
    TTestApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
