#include "wuDownloadFile.h"

#include "wuBesideEvents.h"

#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString SystemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Pieces smaller than this are gathered before they go to the file.
constexpr qint64 kGatherSize = 1024 * 1024;

} // namespace

TwuDownloadFile::TwuDownloadFile(QString finalPath) : FFinalPath(std::move(finalPath)) {}

TwuDownloadFile::~TwuDownloadFile() {
    Close();
}

void TwuDownloadFile::Close() {
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}

bool TwuDownloadFile::Open() {
    const QFileInfo final(FFinalPath);
    if (final.fileName().isEmpty() || final.isDir()) {
        FError = QStringLiteral("%1 is not a file name").arg(FFinalPath);
        return false;
    }
    FDir = std::make_unique<QTemporaryDir>(
        final.absoluteDir().filePath(QStringLiteral(".download-XXXXXX")));
    if (!FDir->isValid()) {
        FError = FDir->errorString();
        return false;
    }
    FPartPath =
        FDir->filePath(final.fileName().isEmpty() ? QStringLiteral("download") : final.fileName());
    const QByteArray path = QFile::encodeName(FPartPath);
    FFd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (FFd < 0) {
        FError = SystemError();
        return false;
    }
    return true;
}

bool TwuDownloadFile::Write(const char* data, qint64 size) {
    if (FFd < 0)
        return false;
    if (FGathered.size() + size < kGatherSize) {
        FGathered.append(data, static_cast<qsizetype>(size));
        return true;
    }
    return Flush() && WriteOut(data, size);
}

bool TwuDownloadFile::Flush() {
    const bool written = WriteOut(FGathered.constData(), FGathered.size());
    FGathered.resize(0);
    return written;
}

bool TwuDownloadFile::WriteOut(const char* data, qint64 size) {
    while (size > 0 && FFd >= 0) {
        const ssize_t written = ::write(FFd, data, static_cast<std::size_t>(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            FError = SystemError();
            return false;
        }
        data += written;
        size -= written;
    }
    return FFd >= 0;
}

bool TwuDownloadFile::Commit(QFile::Permissions permissions) {
    if (FFd < 0 || !Flush())
        return false;
    int error = 0;
    const int fd = FFd;
    const bool synced = wuRunBesideEvents([fd, &error] {
        const bool done = ::fsync(fd) == 0;
        error = errno;
        return done;
    });
    Close();
    if (!synced) {
        FError = QString::fromLocal8Bit(std::strerror(error));
        return false;
    }
    if (!QFile::setPermissions(FPartPath, permissions)) {
        FError = QStringLiteral("cannot set the permissions of %1").arg(FPartPath);
        return false;
    }
    if (::rename(QFile::encodeName(FPartPath).constData(),
                 QFile::encodeName(FFinalPath).constData()) != 0) {
        FError = SystemError();
        return false;
    }
    return true;
}
