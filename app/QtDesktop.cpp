#include "QtDesktop.h"

#include "BalloonPopup.h"
#include "DesktopNotifications.h"
#include "HistoryWindow.h"
#include "MainWindow.h"
#include "wuStartDetached.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <cstdio>
#include <unistd.h>
#include <utility>

TQtDesktop::TQtDesktop(QObject* parent) : QObject(parent) {
    FWindow = new TMainWindow;
    FWindow->installEventFilter(this);
    FWindow->CanClose = [this] {
        // Only the user's own close may keep the program running: CloseWindow
        // closes for good, and the end of the desktop session must not be
        // held up by a window that stays.
        if (FCloseHandled || !OnCloseQuery || qApp->isSavingSession())
            return true;
        bool canClose = true;
        OnCloseQuery(canClose);
        return canClose;
    };
    FWindow->OnCloseQuery = [this] {
        if (OnClose && !FCloseHandled)
            OnClose();
    };
    FTimer = new QTimer(this);
    // Qt does not fire a timer again while its own timeout is still being handled;
    // handling the tick from a posted call lets later ticks come while a tick's
    // handler waits in a modal box (the update prompt on the first tick).
    connect(
        FTimer, &QTimer::timeout, this,
        [this] {
            // A timer stopped after the tick was posted gives no tick.
            if (OnTimer && FTimer->isActive())
                OnTimer();
        },
        Qt::QueuedConnection);

    const auto click = [this](TControl control) {
        if (OnClick)
            OnClick(control);
    };
    connect(FWindow->Button1, &QPushButton::clicked, this, [=] { click(TControl::Button1); });
    connect(FWindow->CheckBox1, &QCheckBox::clicked, this, [=] { click(TControl::CheckBox1); });
    for (auto [action, control] : {std::pair{FWindow->Npovda1, TControl::Npovda1},
                                   std::pair{FWindow->Verze1, TControl::Verze1},
                                   std::pair{FWindow->Novakarta1, TControl::Novakarta1},
                                   std::pair{FWindow->U6ivatel1, TControl::U6ivatel1},
                                   std::pair{FWindow->Spoustet1, TControl::Spoustet1},
                                   std::pair{FWindow->Zobrazit1, TControl::Zobrazit1},
                                   std::pair{FWindow->Prihlasit1, TControl::Prihlasit1},
                                   std::pair{FWindow->Konec1, TControl::Konec1},
                                   std::pair{FWindow->Historiehovor1, TControl::Historiehovor1}})
        connect(action, &QAction::triggered, this, [=] { click(control); });

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        FTray = new QSystemTrayIcon(QIcon(QStringLiteral(":/velora/icon.png")), this);
        FTray->setContextMenu(FWindow->PopupMenu1);
        connect(FWindow->PopupMenu1, &QMenu::aboutToShow, this, [this] {
            if (OnTrayMenu)
                OnTrayMenu();
        });
        connect(FTray, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger && OnTrayClick)
                        OnTrayClick();
                    else if (reason == QSystemTrayIcon::DoubleClick && OnTrayDblClick)
                        OnTrayDblClick();
                });
        connect(FTray, &QSystemTrayIcon::messageClicked, this, [this] {
            if (OnBalloonClick && !FNoticeShown)
                OnBalloonClick();
        });
    } else {
        FPopup = new TBalloonPopup;
        FPopup->OnClick = [this] {
            if (OnBalloonClick && !FNoticeShown)
                OnBalloonClick();
        };
    }
}

TQtDesktop::~TQtDesktop() {
    delete FHistory;
    delete FPopup;
    delete FWindow;
}

void TQtDesktop::Show() {
    FWindow->show();
    if (FTray)
        FTray->show();
}

// The browser's page, and with it the web engine's threads, is made only when
// something is first shown: a window that never navigates starts none of them.
void TQtDesktop::WatchLoading() {
    if (FWatchingLoads)
        return;
    FWatchingLoads = true;
    // Only the load that Navigate started counts: one it cut short ends too,
    // but before the new one starts.
    connect(FWindow->WebBrowser1->page(), &QWebEnginePage::loadingChanged, this,
            [this](const QWebEngineLoadingInfo& info) {
                if (FNavigated.isNull())
                    return;
                if (info.status() == QWebEngineLoadingInfo::LoadStartedStatus) {
                    FNavigationStarted = true;
                    return;
                }
                if (!FNavigationStarted)
                    return;
                const QString url = std::exchange(FNavigated, QString());
                FNavigationStarted = false;
                const bool failed =
                    info.status() == QWebEngineLoadingInfo::LoadFailedStatus ||
                    (info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain &&
                     info.errorCode() >= 400);
                if (failed && OnLoadFailed)
                    OnLoadFailed(url);
            });
}

void TQtDesktop::Navigate(const QString& url) {
    WatchLoading();
    FNavigated = url.isNull() ? QStringLiteral("") : url;
    FNavigationStarted = false;
    FWindow->WebBrowser1->load(QUrl(url));
}

void TQtDesktop::ShowHtml(const QString& html) {
    FNavigated = QString();
    FWindow->WebBrowser1->setHtml(html);
}

bool TQtDesktop::HasSystemTray() const {
    return FTray != nullptr;
}

void TQtDesktop::SetTrayHint(const QString& hint) {
    if (FTray)
        FTray->setToolTip(hint);
}

void TQtDesktop::SetBalloonTitle(const QString& title) {
    FBalloonTitle = title;
}

void TQtDesktop::SetBalloonHint(const QString& text) {
    FBalloonHint = text;
}

void TQtDesktop::SetBalloonTimeout(int ms) {
    FBalloonTimeout = ms;
}

void TQtDesktop::ShowBalloonHint() {
    ShowMessage(FBalloonTitle, FBalloonHint, FBalloonTimeout, false);
}

void TQtDesktop::ShowNotice(const QString& text) {
    ShowMessage(QStringLiteral("Velora"), text, 10000, true);
}

// Connects to the session bus only when the first balloon needs it.
TDesktopNotifications& TQtDesktop::Notifications() {
    if (!FNotifications) {
        FNotifications = new TDesktopNotifications(QDBusConnection::sessionBus(), this);
        FNotifications->OnActivated = [this] {
            if (OnBalloonClick && !FNoticeShown)
                OnBalloonClick();
        };
    }
    return *FNotifications;
}

void TQtDesktop::ShowMessage(const QString& title, const QString& text, int timeoutMs,
                             bool notice) {
    FNoticeShown = notice;
    if (FTray)
        FTray->showMessage(title, text, QSystemTrayIcon::Information, timeoutMs);
    else if (Notifications().Available())
        FNotifications->Notify(title, text, timeoutMs);
    else
        FPopup->ShowMessage(title, text, timeoutMs);
}

QRect TQtDesktop::WindowGeometry() const {
    return FWindow->frameGeometry();
}

void TQtDesktop::SetWindowGeometry(const QRect& outer) {
    const QSize frame = FWindow->frameGeometry().size() - FWindow->size();
    FWindow->resize(outer.size() - frame);
    FWindow->move(outer.topLeft());
    // Before the window manager has framed the window its frame is unknown;
    // the size is corrected once it is, so the stored outer size holds.
    FPendingOuterSize = frame.isNull() ? outer.size() : QSize();
}

bool TQtDesktop::eventFilter(QObject* watched, QEvent* event) {
    if (watched == FWindow && FPendingOuterSize.isValid() &&
        (event->type() == QEvent::Move || event->type() == QEvent::Resize)) {
        const QSize frame = FWindow->frameGeometry().size() - FWindow->size();
        if (!frame.isNull()) {
            const QSize outer = FPendingOuterSize;
            FPendingOuterSize = QSize();
            FWindow->resize(outer - frame);
        }
    }
    return QObject::eventFilter(watched, event);
}

void TQtDesktop::SetWindowStateNormal() {
    FWindow->setWindowState(FWindow->windowState() & ~(Qt::WindowMinimized));
}

void TQtDesktop::BringToFront() {
    FWindow->raise();
}

bool TQtDesktop::Visible() const {
    return FWindow->isVisible();
}

void TQtDesktop::SetVisible(bool visible) {
    FWindow->setVisible(visible);
}

void TQtDesktop::CloseWindow() {
    // The close handler runs here rather than inside the close event, so that
    // its error reaches the caller instead of the event loop's report; the
    // window then stays open.
    if (OnClose)
        OnClose();
    FCloseHandled = true;
    FWindow->close();
    FCloseHandled = false;
}

void TQtDesktop::BringWindowToTop() {
    FWindow->activateWindow();
}

void TQtDesktop::MessageBox(const QString& text) {
    QMessageBox::information(FWindow, FWindow->windowTitle(), text);
}

bool TQtDesktop::Confirm(const QString& text) {
    return QMessageBox::question(FWindow, FWindow->windowTitle(), text,
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

QString TQtDesktop::InputBox(const QString& title, const QString& prompt,
                             const QString& defaultText) {
    bool ok = false;
    const QString text =
        QInputDialog::getText(FWindow, title, prompt, QLineEdit::Normal, defaultText, &ok);
    return ok ? text : defaultText;
}

void TQtDesktop::SetTimerInterval(int ms) {
    FTimer->setInterval(ms);
}

void TQtDesktop::SetTimerEnabled(bool enabled) {
    if (!enabled)
        FTimer->stop();
    else if (!FTimer->isActive())
        FTimer->start();
}

bool TQtDesktop::TimerEnabled() const {
    return FTimer->isActive();
}

QWidget* TQtDesktop::Widget(TControl control) const {
    switch (control) {
    case TControl::Label2:
        return FWindow->Label2;
    case TControl::Edit1:
        return FWindow->Edit1;
    case TControl::Button1:
        return FWindow->Button1;
    case TControl::CheckBox1:
        return FWindow->CheckBox1;
    default:
        return nullptr;
    }
}

QAction* TQtDesktop::Action(TControl control) const {
    switch (control) {
    case TControl::Npovda1:
        return FWindow->Npovda1;
    case TControl::Verze1:
        return FWindow->Verze1;
    case TControl::Novakarta1:
        return FWindow->Novakarta1;
    case TControl::U6ivatel1:
        return FWindow->U6ivatel1;
    case TControl::Spoustet1:
        return FWindow->Spoustet1;
    case TControl::Zobrazit1:
        return FWindow->Zobrazit1;
    case TControl::Prihlasit1:
        return FWindow->Prihlasit1;
    case TControl::Konec1:
        return FWindow->Konec1;
    case TControl::Historiehovor1:
        return FWindow->Historiehovor1;
    default:
        return nullptr;
    }
}

QString TQtDesktop::Caption(TControl control) const {
    switch (control) {
    case TControl::Label2:
        return FWindow->Label2->text();
    case TControl::Edit1:
        return FWindow->Edit1->text();
    case TControl::Button1:
        return FWindow->Button1->text();
    case TControl::CheckBox1:
        return FWindow->CheckBox1->text();
    default:
        return Action(control)->text();
    }
}

void TQtDesktop::SetCaption(TControl control, const QString& text) {
    switch (control) {
    case TControl::Label2:
        FWindow->Label2->setText(text);
        FWindow->Label2->adjustSize();
        break;
    case TControl::Edit1:
        FWindow->Edit1->setText(text);
        break;
    case TControl::Button1:
        FWindow->Button1->setText(text);
        break;
    case TControl::CheckBox1:
        FWindow->CheckBox1->setText(text);
        break;
    default:
        Action(control)->setText(text);
        break;
    }
}

bool TQtDesktop::Enabled(TControl control) const {
    if (QWidget* widget = Widget(control))
        return widget->isEnabled();
    return Action(control)->isEnabled();
}

void TQtDesktop::SetEnabled(TControl control, bool enabled) {
    if (QWidget* widget = Widget(control))
        widget->setEnabled(enabled);
    else
        Action(control)->setEnabled(enabled);
}

bool TQtDesktop::Checked(TControl control) const {
    if (control == TControl::CheckBox1)
        return FWindow->CheckBox1->isChecked();
    return Action(control)->isChecked();
}

void TQtDesktop::SetChecked(TControl control, bool checked) {
    if (control == TControl::CheckBox1)
        FWindow->CheckBox1->setChecked(checked);
    else
        Action(control)->setChecked(checked);
}

void TQtDesktop::SetHint(TControl control, const QString& hint) {
    if (QWidget* widget = Widget(control))
        widget->setToolTip(hint);
    else
        Action(control)->setToolTip(hint);
}

void TQtDesktop::SetStatusText(int panel, const QString& text) {
    (panel == 0 ? FWindow->StatusPanel0 : FWindow->StatusPanel1)->setText(text);
}

void TQtDesktop::SetProgressVisible(bool visible) {
    FWindow->ProgressBar1->setVisible(visible);
}

void TQtDesktop::SetProgressMax(int max) {
    FWindow->ProgressBar1->setMaximum(max);
}

void TQtDesktop::SetProgressPosition(int position) {
    FWindow->ProgressBar1->setValue(position);
}

void TQtDesktop::ShowHistory(TCallHistoryModel& model) {
    if (!FHistory) {
        FHistory = new THistoryWindow(model);
        FHistory->OnOpen = [this](int row) {
            if (OnHistoryOpen)
                OnHistoryOpen(row);
        };
        // Over the main window, a little down and right, so that both stay in sight.
        FHistory->move(FWindow->frameGeometry().topLeft() + QPoint(40, 60));
    }
    FHistory->show();
    FHistory->setWindowState(FHistory->windowState() & ~Qt::WindowMinimized);
    FHistory->raise();
    FHistory->activateWindow();
    FHistory->Search->setFocus();
}

void TQtDesktop::ProcessMessages() {
    QApplication::processEvents();
}

void TQtDesktop::ShellOpen(const QString& path) {
    // The script and what it starts must not hold the window's descriptors.
    if (path.endsWith(QLatin1String(".sh")))
        wuStartDetached(QStringLiteral("/bin/sh"), {path});
    else if (QFileInfo(path).isExecutable())
        wuStartDetached(path, {});
    else
        QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void TQtDesktop::EndProcess(int exitStatus) {
    std::fflush(nullptr);
    ::_exit(exitStatus);
}

void TQtDesktop::PrintError(const QString& text) {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

void TQtDesktop::ReportError(const QString& text) {
    QMessageBox::critical(FWindow, FWindow->windowTitle(), text);
}
