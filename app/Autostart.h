#pragma once

#include <QString>

// The entry that starts the program when the user logs in: "velora.desktop"
// in the XDG autostart folder.
class TAutostart {
public:
    // folder: the autostart folder; program: the executable the entry starts.
    TAutostart(QString folder, QString program);

    // ~/.config/autostart, or $XDG_CONFIG_HOME/autostart.
    static QString DefaultFolder();

    QString EntryPath() const;
    // The entry is there and the desktop has not been told to skip it (Hidden=true).
    bool Enabled() const;
    // Writes or removes the entry. Throws std::runtime_error with a Czech
    // message, the system's reason after a colon, when that fails.
    void SetEnabled(bool enabled) const;

    // The desktop entry's text: the program as its Exec key, quoted as the
    // rules of desktop entries ask.
    static QString EntryText(const QString& program);

private:
    QString FFolder;
    QString FProgram;
};
