#include "Application.h"

#include <QMessageBox>
#include <exception>

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    OnException = [](const QString& text) {
        QMessageBox::critical(nullptr, QApplication::applicationDisplayName(), text);
    };
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        if (OnException)
            OnException(QString::fromUtf8(e.what()));
    } catch (...) {
        if (OnException)
            OnException(QStringLiteral("Unknown error"));
    }
    return false;
}
