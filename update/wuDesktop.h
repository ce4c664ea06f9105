#pragma once

#include <QString>
#include <memory>

// The information dialog as the update component drives it.
class TwuInfoDialog {
public:
    virtual ~TwuInfoDialog() = default;

    // Captions of the OK button, the Cancel button and the check box; "&"
    // marks the accelerator letter.
    virtual void SetCaptions(const QString& okButton, const QString& cancelButton,
                             const QString& checkForUpdate) = 0;
    virtual void SetCheckForUpdate(bool checked) = 0;
    virtual bool CheckForUpdate() const = 0;
    virtual void Navigate(const QString& url) = 0;
    // Shows the dialog modally; true exactly when it was closed with OK.
    virtual bool ShowModal() = 0;
};

// The desktop services the update component needs. The program passes the Qt
// implementation (or its own); tests pass a recording double.
class TwuDesktop {
public:
    virtual ~TwuDesktop() = default;

    // Lets the GUI handle its pending events; called between the chunks of a transfer.
    virtual void ProcessMessages() = 0;
    // Creates the information dialog; the component calls it once and keeps the dialog.
    virtual std::unique_ptr<TwuInfoDialog> CreateInfoDialog() = 0;
    // Starts the file detached with the given command-line parameters; false
    // when it could not be started.
    virtual bool StartFile(const QString& fileName, const QString& parameters) = 0;
    // Asks the application to end; its event loop ends later, the caller carries on.
    virtual void Terminate() = 0;
};

class TwuQtDesktop final : public TwuDesktop {
public:
    void ProcessMessages() override;
    std::unique_ptr<TwuInfoDialog> CreateInfoDialog() override;
    // Shell scripts run with /bin/sh, executables directly; anything else is
    // handed to the desktop's handler for its type (parameters are then unused).
    bool StartFile(const QString& fileName, const QString& parameters) override;
    void Terminate() override;
};
