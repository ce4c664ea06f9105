#include "SelfUpdate.h"

#include <QStringList>
#include <algorithm>

namespace {

bool IsNumber(const QString& part) {
    return !part.isEmpty() &&
           std::all_of(part.begin(), part.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// Negative, zero or positive as a is smaller than, equal to or greater than b.
int CompareParts(const QString& a, const QString& b) {
    if (IsNumber(a) && IsNumber(b)) {
        // Compared as digit strings, so that no length of number overflows.
        const auto significant = [](const QString& digits) {
            qsizetype first = 0;
            while (first < digits.size() && digits[first] == u'0')
                ++first;
            return digits.mid(first);
        };
        const QString x = significant(a), y = significant(b);
        if (x.size() != y.size())
            return x.size() < y.size() ? -1 : 1;
        return x.compare(y);
    }
    return a.compare(b);
}

// Joins the paths of a folder and a file name with a single separator.
QString Join(QString folder, const QString& name, QChar separator) {
    while (folder.size() > 1 && folder.endsWith(separator))
        folder.chop(1);
    return folder.endsWith(separator) ? folder + name : folder + separator + name;
}

QString BatchQuoted(QString path) {
    path.replace(u'%', QStringLiteral("%%"));
    return u'"' + path + u'"';
}

} // namespace

bool IsOlderVersion(const QString& running, const QString& offered) {
    if (offered.isEmpty())
        return false;
    if (running.isEmpty())
        return true;
    const QStringList mine = running.split(u'.');
    const QStringList theirs = offered.split(u'.');
    const qsizetype parts = std::max(mine.size(), theirs.size());
    const QString zero = QStringLiteral("0");
    for (qsizetype i = 0; i < parts; ++i) {
        const int order =
            CompareParts(i < mine.size() ? mine[i] : zero, i < theirs.size() ? theirs[i] : zero);
        if (order != 0)
            return order < 0;
    }
    return false;
}

QString DownloadLocation(const QString& updateUrl, bool overTls) {
    const QLatin1String http("http://");
    if (updateUrl.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
        return updateUrl;
    const QString rest =
        updateUrl.startsWith(http, Qt::CaseInsensitive) ? updateUrl.mid(http.size()) : updateUrl;
    if (overTls)
        return QStringLiteral("https://") + rest;
    return rest.size() == updateUrl.size() ? QStringLiteral("http://") + updateUrl : updateUrl;
}

QString ShellQuoted(const QString& path) {
    QString quoted = path;
    quoted.replace(u'\'', QStringLiteral("'\\''"));
    return u'\'' + quoted + u'\'';
}

QString LinuxUpdateScript(const QString& workDir, const QString& exePath, qint64 pid) {
    const QString download = ShellQuoted(Join(workDir, QStringLiteral("velora_new"), u'/'));
    const QString script = ShellQuoted(Join(workDir, QStringLiteral("update.sh"), u'/'));
    const QString exe = ShellQuoted(exePath);
    const QString folder = exePath.left(std::max<qsizetype>(exePath.lastIndexOf(u'/'), 1));
    const QString backup = ShellQuoted(Join(folder, QStringLiteral("velora.bak"), u'/'));
    const QString incoming = ShellQuoted(exePath + QStringLiteral(".new"));
    // The new program runs in the background: the script goes on to remove
    // its files at once instead of waiting until the program ends.
    return QStringLiteral("#!/bin/sh\n"
                          "i=0\n"
                          "while kill -0 %4 2>/dev/null; do\n"
                          "    i=$((i + 1))\n"
                          "    if [ $i -ge 600 ]; then rm -f %1 %3; exit 1; fi\n"
                          "    sleep 0.1\n"
                          "done\n"
                          "if cp -p %2 %5 && cp %1 %6 && chmod 755 %6 && mv -f %6 %2 &&\n"
                          "    timeout 20 %2 --version >/dev/null 2>&1; then\n"
                          "    :\n"
                          "else\n"
                          "    rm -f %6\n"
                          "    cp -p %5 %2\n"
                          "fi\n"
                          "%2 &\n"
                          "rm -f %1\n"
                          "rm -f %3\n")
        .arg(download, exe, script, QString::number(pid), backup, incoming);
}

QString WindowsUpdateScript(const QString& workDir, const QString& exePath) {
    QString dir = workDir;
    dir.replace(u'/', u'\\');
    QString exeNative = exePath;
    exeNative.replace(u'/', u'\\');
    const QString download = BatchQuoted(Join(dir, QStringLiteral("velora_new.exe"), u'\\'));
    const QString script = BatchQuoted(Join(dir, QStringLiteral("update.bat"), u'\\'));
    const QString exe = BatchQuoted(exeNative);
    return QStringLiteral("ping 127.0.0.1 -n 10 -w 1000 > NUL\r\n"
                          "copy %1 %2\r\n"
                          "%2\r\n"
                          "del %1\r\n"
                          "del %3\r\n"
                          "ping 127.0.0.1 -n 20 -w 1000 > NUL\r\n")
        .arg(download, exe, script);
}
