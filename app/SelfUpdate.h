#pragma once

#include <QString>
#include <QtGlobal>

// The pure pieces of the program's self-update.

// Whether the running version is older than the offered one. Versions are
// compared part by part between the dots: two parts that are both numbers
// compare as numbers (so 1.10 is newer than 1.3), any other pair as text,
// and a missing part counts as 0 (1.3 equals 1.3.0). An empty running
// version is older than any non-empty offer; an empty offer is never newer.
bool IsOlderVersion(const QString& running, const QString& offered);

// The address the new executable is fetched from. A location that already
// names "http://" or "https://" (in any letter case) is used as it is; any
// other gets "http://" in front. With overTls (the page came over https)
// the address is always https: "http://" becomes "https://", and so does a
// location without a scheme.
QString DownloadLocation(const QString& updateUrl, bool overTls = false);

// Quotes a path for the POSIX shell: in single quotes, with every single
// quote written as '\''.
QString ShellQuoted(const QString& path);

// The update script "update.sh" for /bin/sh. It waits until the process pid
// has ended (at most 60 s, else it gives up and changes nothing), keeps the
// executable exePath as "velora.bak" beside it, puts the verified download
// "velora_new" of workDir in its place and checks that "exePath --version"
// succeeds; when it does not, the old program is put back. Then it starts the
// program and deletes the download and itself. Every path is quoted; lines
// end with LF.
QString LinuxUpdateScript(const QString& workDir, const QString& exePath, qint64 pid);

// The same six steps as "update.bat" for cmd.exe, with "velora_new.exe",
// every path in double quotes ("%" doubled), lines ending with CR LF.
// Forward slashes in the paths become backslashes.
QString WindowsUpdateScript(const QString& workDir, const QString& exePath);
