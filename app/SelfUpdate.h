#pragma once

#include <QString>

// The pure pieces of the program's self-update.

// Whether the running version is older than the offered one. Versions are
// compared part by part between the dots: two parts that are both numbers
// compare as numbers (so 1.10 is newer than 1.3), any other pair as text,
// and a missing part counts as 0 (1.3 equals 1.3.0). An empty running
// version is older than any non-empty offer; an empty offer is never newer.
bool IsOlderVersion(const QString& running, const QString& offered);

// The address the new executable is fetched from. A location that already
// names "http://" or "https://" (in any letter case) is used as it is; any
// other gets "http://" in front.
QString DownloadLocation(const QString& updateUrl);

// Quotes a path for the POSIX shell: in single quotes, with every single
// quote written as '\''.
QString ShellQuoted(const QString& path);

// The update script "update.sh" for /bin/sh: wait ten seconds, copy the
// downloaded "velora_new" in workDir over the running executable exePath,
// start it, delete the download and the script, wait twenty seconds. Every
// path is quoted; lines end with LF.
QString LinuxUpdateScript(const QString& workDir, const QString& exePath);

// The same six steps as "update.bat" for cmd.exe, with "velora_new.exe",
// every path in double quotes ("%" doubled), lines ending with CR LF.
// Forward slashes in the paths become backslashes.
QString WindowsUpdateScript(const QString& workDir, const QString& exePath);
