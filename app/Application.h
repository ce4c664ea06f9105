#pragma once

#include <QApplication>
#include <functional>

// The application object. An exception that escapes a handler run by the event
// loop ends in notify(): its text goes to the default error report and the
// loop goes on.
class TApplication : public QApplication {
public:
    // What the embedded web view needs before the application object exists:
    // shared GL contexts, and no sandbox when running as root (build machines,
    // CI), where QtWebEngine's sandbox refuses to start.
    static void PrepareWebView();

public:
    TApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Shows the error; by default a message box with the text.
    std::function<void(const QString& text)> OnException;
};
