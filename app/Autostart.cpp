#include "Autostart.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <stdexcept>

namespace {

// An Exec argument: in double quotes when it holds a reserved character, with
// '"', '`', '$' and '\' escaped by a backslash; '%' is doubled as field codes
// start with it. The whole is a string value, whose own escaping doubles every
// backslash once more.
QString ExecArgument(const QString& argument) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool quote = argument.isEmpty();
    QString quoted;
    for (const QChar c : argument) {
        if (reserved.contains(c))
            quote = true;
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted.replace(u'%', QStringLiteral("%%"));
    if (quote)
        quoted = u'"' + quoted + u'"';
    return quoted.replace(u'\\', QStringLiteral("\\\\"));
}

} // namespace

TAutostart::TAutostart(QString folder, QString program)
    : FFolder(std::move(folder)), FProgram(std::move(program)) {}

QString TAutostart::DefaultFolder() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("autostart"));
}

QString TAutostart::EntryPath() const {
    return QDir(FFolder).filePath(QStringLiteral("velora.desktop"));
}

bool TAutostart::Enabled() const {
    QFile file(EntryPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    while (!file.atEnd())
        if (file.readLine().trimmed() == "Hidden=true")
            return false;
    return true;
}

void TAutostart::SetEnabled(bool enabled) const {
    if (!enabled) {
        QFile file(EntryPath());
        if (file.exists() && !file.remove())
            throw std::runtime_error(QStringLiteral("Nelze odstranit soubor %1: %2")
                                         .arg(EntryPath(), file.errorString())
                                         .toStdString());
        return;
    }
    if (!QDir().mkpath(FFolder))
        throw std::runtime_error(
            QStringLiteral("Nelze vytvořit složku %1").arg(FFolder).toStdString());
    QSaveFile file(EntryPath());
    const QByteArray text = EntryText(FProgram).toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        throw std::runtime_error(QStringLiteral("Nelze zapsat soubor %1: %2")
                                     .arg(EntryPath(), file.errorString())
                                     .toStdString());
}

QString TAutostart::EntryText(const QString& program) {
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Velora\n"
                          "Comment=Oznamování hovorů z telefonní ústředny\n"
                          "Exec=%1\n"
                          "Icon=velora\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(ExecArgument(program));
}
