#pragma once

#include <QRect>
#include <QString>
#include <functional>
#include <stdexcept>

// The window's controls that the logic reads or changes by name.
enum class TControl {
    Label2,         // user label; its caption
    Edit1,          // password box; its caption is the edited text
    Button1,        // login button
    Npovda1,        // menu "Nápověda"
    Verze1,         // menu "Verze programu"
    Novakarta1,     // menu "Nova karta"
    U6ivatel1,      // menu "Uživatel"
    Historiehovor1, // menu "Hovory", entry "Historie hovorů"
    CheckBox1,      // "Zapamatovat heslo" beside the password box; checkable
    Spoustet1,      // menu "Hovory", entry "Spouštět po přihlášení"; checkable
    Zobrazit1,      // tray menu "Zobrazit"
    Prihlasit1,     // tray menu "Přihlásit se" / "Odhlásit"
    Konec1,         // tray menu "Konec"
};

class TCallHistoryModel;

// Thrown by OnClose when the user chose to keep the window open: the window stays open and
// no error is reported.
struct TCloseCancelled : std::runtime_error {
    TCloseCancelled() : std::runtime_error("The window stays open") {}
};

// Everything the window's logic asks of the desktop. The program passes the Qt
// implementation (TQtDesktop); tests pass a recording double. All calls and all
// events happen on the GUI thread.
class TDesktopOperations {
public:
    virtual ~TDesktopOperations() = default;

    // Web view: loading starts, the call returns at once.
    virtual void Navigate(const QString& url) = 0;
    // Shows a page of the program's own.
    virtual void ShowHtml(const QString& html) = 0;

    // Tray icon. Title, text and timeout are used by the next ShowBalloonHint.
    virtual bool HasSystemTray() const = 0;
    virtual void SetTrayHint(const QString& hint) = 0;
    virtual void SetBalloonTitle(const QString& title) = 0;
    virtual void SetBalloonHint(const QString& text) = 0;
    virtual void SetBalloonTimeout(int ms) = 0;
    // Shows a balloon with the information icon; without a system tray a popup
    // of our own near the screen's corner stands in for it and is clickable alike.
    virtual void ShowBalloonHint() = 0;
    // Shows a short notice of the program's own the same way; a click on it
    // raises nothing.
    virtual void ShowNotice(const QString& text) = 0;

    // Main window. Geometry is the outer frame: left, top, width, height.
    virtual QRect WindowGeometry() const = 0;
    virtual void SetWindowGeometry(const QRect& outer) = 0;
    virtual void
    SetWindowStateNormal() = 0; // restores a minimised window; a hidden one stays hidden
    virtual void BringToFront() = 0;
    virtual bool Visible() const = 0;
    virtual void SetVisible(bool visible) = 0;
    virtual void CloseWindow() = 0; // raises OnClose
    virtual void BringWindowToTop() = 0;

    // Modal dialogs; each returns when closed.
    virtual void MessageBox(const QString& text) = 0;
    virtual bool Confirm(const QString& text) = 0; // true for Yes
    // Returns the edited text on OK and defaultText on Cancel.
    virtual QString InputBox(const QString& title, const QString& prompt,
                             const QString& defaultText) = 0;

    // Timer1. Enabling a stopped timer starts a fresh interval; enabling a
    // running one changes nothing. Ticks come also while a dialog is open.
    virtual void SetTimerInterval(int ms) = 0;
    virtual void SetTimerEnabled(bool enabled) = 0;
    virtual bool TimerEnabled() const = 0;

    // Captions and texts of labels, buttons, menu entries and the edit box.
    virtual QString Caption(TControl control) const = 0;
    virtual void SetCaption(TControl control, const QString& text) = 0;
    virtual bool Enabled(TControl control) const = 0;
    virtual void SetEnabled(TControl control, bool enabled) = 0;
    // The check mark of a checkable control; a click on it changes it first.
    virtual bool Checked(TControl control) const = 0;
    virtual void SetChecked(TControl control, bool checked) = 0;
    // The tooltip; it also tells why a control is disabled.
    virtual void SetHint(TControl control, const QString& hint) = 0;

    // Status bar panel 0 or 1.
    virtual void SetStatusText(int panel, const QString& text) = 0;

    virtual void SetProgressVisible(bool visible) = 0;
    virtual void SetProgressMax(int max) = 0;
    virtual void SetProgressPosition(int position) = 0;

    // The window "Historie hovorů" listing the model's calls: shown, or brought forward when
    // it is open already. The model outlives the window.
    virtual void ShowHistory(TCallHistoryModel& model) = 0;

    // Handles pending GUI events, then returns.
    virtual void ProcessMessages() = 0;

    // Starts a file by its associated program without waiting; the outcome is
    // not reported.
    virtual void ShellOpen(const QString& path) = 0;

    // The default error report: a message box with the error text.
    virtual void ReportError(const QString& text) = 0;

    // Ends the process at once with the exit status: no handler, destructor or event runs any
    // more.
    virtual void EndProcess(int exitStatus = 0) = 0;

    // Writes a line to standard error; never waits on the user.
    virtual void PrintError(const QString& text) = 0;

    // Raised by the desktop, only when set.
    std::function<void(TControl control)> OnClick; // buttons, check boxes and menu entries
    std::function<void()> OnTrayMenu;              // the tray icon's menu is about to open
    std::function<void()> OnTrayClick;
    std::function<void()> OnTrayDblClick;
    std::function<void()> OnBalloonClick;
    std::function<void()> OnTimer;
    // A call of the history window was opened (Enter or a double click): the model's row.
    std::function<void(int row)> OnHistoryOpen;
    // The user asks the window to close (its close button); CanClose false
    // keeps the program running and OnClose is not raised. Not raised for
    // CloseWindow, nor when the desktop session ends.
    std::function<void(bool& CanClose)> OnCloseQuery;
    // The window is asked to close; an exception thrown here keeps it open.
    std::function<void()> OnClose;
    // The page asked for by the last Navigate could not be loaded: no
    // connection, no server, or an HTTP error status. Raised with that URL as given.
    std::function<void(const QString& url)> OnLoadFailed;
    // The system asks the program to end (SIGTERM, SIGINT), also while a dialog is open:
    // nothing may wait on the user any more.
    std::function<void()> OnTerminate;
};
