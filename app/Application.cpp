#include "Application.h"

#include "DesktopOperations.h"

#include <QMessageBox>
#include <cstdlib>
#include <exception>
#include <unistd.h>

void TApplication::PrepareWebView() {
    if (::geteuid() == 0 && !std::getenv("QTWEBENGINE_DISABLE_SANDBOX"))
        ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    OnException = [](const QString& text) {
        QMessageBox::critical(nullptr, QApplication::applicationDisplayName(), text);
    };
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const TCloseCancelled&) {
        // The user chose to keep the window open; there is nothing to report.
    } catch (const std::exception& e) {
        if (OnException)
            OnException(QString::fromUtf8(e.what()));
    } catch (...) {
        if (OnException)
            OnException(QStringLiteral("Neznámá chyba"));
    }
    return false;
}
