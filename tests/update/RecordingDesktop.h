#pragma once

#include "wuDesktop.h"

#include <QString>
#include <QStringList>
#include <functional>

// A dialog that answers from a script and remembers what it was shown.
struct TRecordingDialog final : TwuInfoDialog {
    struct TState {
        QStringList Captions;
        bool InitialCheck = false;
        QString Url;
        int Shown = 0;
        bool Answer = true;    // OK when true, Cancel when false
        bool UserCheck = true; // the check box as the user leaves it
        bool UserTouchesCheck = false;
    };
    explicit TRecordingDialog(TState& state) : State(state) {}

    void SetCaptions(const QString& ok, const QString& cancel, const QString& check) override {
        State.Captions = {ok, cancel, check};
    }
    void SetCheckForUpdate(bool checked) override {
        Checked = checked;
        State.InitialCheck = checked;
    }
    bool CheckForUpdate() const override { return Checked; }
    void Navigate(const QString& url) override { State.Url = url; }
    bool ShowModal() override {
        ++State.Shown;
        if (State.UserTouchesCheck)
            Checked = State.UserCheck;
        return State.Answer;
    }

    TState& State;
    bool Checked = false;
};

// Records every desktop request; the start of a file succeeds unless told otherwise.
struct TRecordingDesktop final : TwuDesktop {
    void ProcessMessages() override {
        ++MessagesProcessed;
        if (DuringMessages)
            DuringMessages();
    }
    std::unique_ptr<TwuInfoDialog> CreateInfoDialog() override {
        ++DialogsCreated;
        return std::make_unique<TRecordingDialog>(Dialog);
    }
    bool StartFile(const QString& fileName, const QString& parameters) override {
        Started << fileName + QLatin1Char('|') + parameters;
        return StartSucceeds;
    }
    void Terminate() override { ++TerminateRequests; }

    int MessagesProcessed = 0;
    std::function<void()> DuringMessages;
    int DialogsCreated = 0;
    TRecordingDialog::TState Dialog;
    QStringList Started;
    bool StartSucceeds = true;
    int TerminateRequests = 0;
};
