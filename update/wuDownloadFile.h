#pragma once

#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <memory>

// A download on its way to a final path. The bytes go to a new file in a
// private folder beside the final path, created exclusively and never through
// a link; only Commit puts the file in place, in one rename. Whatever is not
// committed is removed with the private folder.
class TwuDownloadFile {
public:
    explicit TwuDownloadFile(QString finalPath);
    ~TwuDownloadFile();
    TwuDownloadFile(const TwuDownloadFile&) = delete;
    TwuDownloadFile& operator=(const TwuDownloadFile&) = delete;

    // False when the private folder or the file cannot be made.
    bool Open();
    // Small pieces are gathered in memory and written in large ones, so a
    // failure to write may show only in a later Write, Flush or Commit.
    bool Write(const char* data, qint64 size);
    // Writes what is gathered: then the file at PartPath holds every byte.
    bool Flush();
    // The file as written so far, to be checked (after Flush) before Commit.
    QString PartPath() const { return FPartPath; }
    // Flushes the file to disk, gives it the permissions and renames it over
    // the final path. False when any step fails; the final path is then
    // untouched. The wait for the disk runs beside the caller's events.
    bool Commit(QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner);
    QString ErrorString() const { return FError; }

private:
    void Close();
    bool WriteOut(const char* data, qint64 size);

    QString FFinalPath;
    std::unique_ptr<QTemporaryDir> FDir;
    QString FPartPath;
    int FFd = -1;
    QByteArray FGathered;
    QString FError;
};
