#pragma once

#include "DesktopOperations.h"

#include <QMap>
#include <QStringList>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

// A desktop that draws nothing: it records what the window showed and answers
// dialogs from a script. An input box or confirmation without a scripted
// answer behaves as Cancel or No.
class TRecordingDesktop : public TDesktopOperations {
public:
    struct Balloon {
        QString Title;
        QString Text;
        int Timeout = 0;
    };
    struct Prompt {
        QString Title;
        QString Text;
        QString Default;
    };

    // Scripted answers, taken in order.
    std::deque<std::optional<QString>> InputAnswers; // nullopt: Cancel
    std::deque<bool> ConfirmAnswers;
    // Runs while an input box is open, as events do in its loop.
    std::function<void()> WhileInputBoxOpen;

    // What was shown.
    QStringList Navigations;
    QStringList Pages; // pages of the program's own (ShowHtml)
    QStringList Notices;
    QStringList Messages;
    QStringList Errors;
    QStringList Confirmations;
    std::vector<Prompt> Prompts;
    std::vector<Balloon> Balloons;
    QStringList Opened;
    QStringList Calls; // window operations in order: "normal", "front", "top", "show", "hide"

    bool Tray = true;
    QString TrayHint;
    QRect Geometry{0, 0, 1094, 696};
    bool Shown = true;
    int TimerInterval = 0;
    bool Timer = false;
    int TimerStarts = 0; // times a stopped timer was started
    QMap<TControl, QString> Captions;
    QMap<TControl, bool> Enabledness;
    QMap<TControl, bool> Checks;
    QMap<TControl, QString> Hints;
    QString Status[2];
    bool ProgressVisible = false;
    int ProgressMax = 100;
    int ProgressPosition = 0;
    int MessagesProcessed = 0;
    bool ProcessEnded = false;
    int ExitStatus = -1;
    QStringList StandardError;
    TCallHistoryModel* HistoryShown = nullptr; // the model of the history window last shown

    void Navigate(const QString& url) override { Navigations << url; }
    void ShowHtml(const QString& html) override { Pages << html; }
    bool HasSystemTray() const override { return Tray; }
    void SetTrayHint(const QString& hint) override { TrayHint = hint; }
    void SetBalloonTitle(const QString& title) override { FPending.Title = title; }
    void SetBalloonHint(const QString& text) override { FPending.Text = text; }
    void SetBalloonTimeout(int ms) override { FPending.Timeout = ms; }
    void ShowBalloonHint() override { Balloons.push_back(FPending); }
    void ShowNotice(const QString& text) override { Notices << text; }
    QRect WindowGeometry() const override { return Geometry; }
    void SetWindowGeometry(const QRect& outer) override { Geometry = outer; }
    void SetWindowStateNormal() override { Calls << QStringLiteral("normal"); }
    void BringToFront() override { Calls << QStringLiteral("front"); }
    bool Visible() const override { return Shown; }
    void SetVisible(bool visible) override {
        Shown = visible;
        Calls << (visible ? QStringLiteral("show") : QStringLiteral("hide"));
    }
    void CloseWindow() override {
        if (OnClose)
            OnClose();
    }
    void BringWindowToTop() override { Calls << QStringLiteral("top"); }
    void MessageBox(const QString& text) override { Messages << text; }
    bool Confirm(const QString& text) override {
        Confirmations << text;
        if (ConfirmAnswers.empty())
            return false;
        const bool answer = ConfirmAnswers.front();
        ConfirmAnswers.pop_front();
        return answer;
    }
    QString InputBox(const QString& title, const QString& prompt,
                     const QString& defaultText) override {
        Prompts.push_back({title, prompt, defaultText});
        if (WhileInputBoxOpen)
            WhileInputBoxOpen();
        if (InputAnswers.empty())
            return defaultText;
        const std::optional<QString> answer = InputAnswers.front();
        InputAnswers.pop_front();
        return answer.value_or(defaultText);
    }
    void SetTimerInterval(int ms) override { TimerInterval = ms; }
    void SetTimerEnabled(bool enabled) override {
        if (enabled && !Timer)
            ++TimerStarts;
        Timer = enabled;
    }
    bool TimerEnabled() const override { return Timer; }
    QString Caption(TControl control) const override { return Captions.value(control); }
    void SetCaption(TControl control, const QString& text) override { Captions[control] = text; }
    bool Enabled(TControl control) const override { return Enabledness.value(control, true); }
    void SetEnabled(TControl control, bool enabled) override { Enabledness[control] = enabled; }
    bool Checked(TControl control) const override { return Checks.value(control); }
    void SetChecked(TControl control, bool checked) override { Checks[control] = checked; }
    void SetHint(TControl control, const QString& hint) override { Hints[control] = hint; }
    // What a click on a checkable control does: the mark changes, then OnClick.
    void Toggle(TControl control) {
        Checks[control] = !Checks.value(control);
        if (OnClick)
            OnClick(control);
    }
    // The user's close button; true when the window closed.
    bool UserClose() {
        bool canClose = true;
        if (OnCloseQuery)
            OnCloseQuery(canClose);
        if (canClose && OnClose)
            OnClose();
        return canClose;
    }
    void SetStatusText(int panel, const QString& text) override { Status[panel] = text; }
    void SetProgressVisible(bool visible) override { ProgressVisible = visible; }
    void SetProgressMax(int max) override { ProgressMax = max; }
    void SetProgressPosition(int position) override { ProgressPosition = position; }
    void ShowHistory(TCallHistoryModel& model) override { HistoryShown = &model; }
    void ProcessMessages() override { ++MessagesProcessed; }
    void ShellOpen(const QString& path) override { Opened << path; }
    void ReportError(const QString& text) override { Errors << text; }
    void EndProcess(int exitStatus = 0) override {
        ProcessEnded = true;
        ExitStatus = exitStatus;
    }
    void PrintError(const QString& text) override { StandardError << text; }

private:
    Balloon FPending;
};
