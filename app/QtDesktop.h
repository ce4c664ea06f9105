#pragma once

#include "DesktopOperations.h"

#include <QObject>
#include <QSize>

class QAction;
class QSystemTrayIcon;
class TDesktopNotifications;
class QTimer;
class TBalloonPopup;
class THistoryWindow;
class TMainWindow;

// The desktop operations drawn with Qt: the main window, the tray icon with
// its menu, Timer1 and the standard dialogs. Without a system tray, balloons
// become the desktop's notifications where it has a notification service,
// else a popup of our own.
class TQtDesktop : public QObject, public TDesktopOperations {
public:
    explicit TQtDesktop(QObject* parent = nullptr);
    ~TQtDesktop() override;
    TQtDesktop(const TQtDesktop&) = delete;
    TQtDesktop& operator=(const TQtDesktop&) = delete;

    TMainWindow& Window() { return *FWindow; }
    // The history window once it has been shown, else null.
    THistoryWindow* HistoryWindow() const { return FHistory; }
    // Shows the window and the tray icon.
    void Show();

    void Navigate(const QString& url) override;
    void ShowHtml(const QString& html) override;
    bool HasSystemTray() const override;
    void SetTrayHint(const QString& hint) override;
    void SetBalloonTitle(const QString& title) override;
    void SetBalloonHint(const QString& text) override;
    void SetBalloonTimeout(int ms) override;
    void ShowBalloonHint() override;
    void ShowNotice(const QString& text) override;
    QRect WindowGeometry() const override;
    void SetWindowGeometry(const QRect& outer) override;
    void SetWindowStateNormal() override;
    void BringToFront() override;
    bool Visible() const override;
    void SetVisible(bool visible) override;
    void CloseWindow() override;
    void BringWindowToTop() override;
    void MessageBox(const QString& text) override;
    bool Confirm(const QString& text) override;
    QString InputBox(const QString& title, const QString& prompt,
                     const QString& defaultText) override;
    void SetTimerInterval(int ms) override;
    void SetTimerEnabled(bool enabled) override;
    bool TimerEnabled() const override;
    QString Caption(TControl control) const override;
    void SetCaption(TControl control, const QString& text) override;
    bool Enabled(TControl control) const override;
    void SetEnabled(TControl control, bool enabled) override;
    bool Checked(TControl control) const override;
    void SetChecked(TControl control, bool checked) override;
    void SetHint(TControl control, const QString& hint) override;
    void SetStatusText(int panel, const QString& text) override;
    void SetProgressVisible(bool visible) override;
    void SetProgressMax(int max) override;
    void SetProgressPosition(int position) override;
    void ShowHistory(TCallHistoryModel& model) override;
    void ProcessMessages() override;
    void ShellOpen(const QString& path) override;
    void ReportError(const QString& text) override;
    void EndProcess(int exitStatus = 0) override;
    void PrintError(const QString& text) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* Widget(TControl control) const;
    QAction* Action(TControl control) const;
    // Shows a balloon; notice: a click on it raises nothing.
    void ShowMessage(const QString& title, const QString& text, int timeoutMs, bool notice);
    void WatchLoading();
    TDesktopNotifications& Notifications();

    TMainWindow* FWindow = nullptr;
    QSystemTrayIcon* FTray = nullptr;
    TBalloonPopup* FPopup = nullptr;
    TDesktopNotifications* FNotifications = nullptr;
    bool FNoticeShown = false; // the balloon shown last is a notice
    QString FNavigated;        // the URL of the last Navigate until its load ends; null after
    bool FNavigationStarted = false;
    bool FWatchingLoads = false;
    THistoryWindow* FHistory = nullptr;
    QTimer* FTimer = nullptr;
    QString FBalloonTitle;
    QString FBalloonHint;
    int FBalloonTimeout = 10000;
    QSize FPendingOuterSize;    // invalid when nothing is pending
    bool FCloseHandled = false; // CloseWindow has run OnClose already
};
