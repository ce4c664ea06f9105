#include "wuDesktop.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

// The script renames its output into place once written, so the file is
// whole as soon as it exists.
QByteArray WaitForFile(const QString& path) {
    QElapsedTimer timer;
    timer.start();
    while (!QFile::exists(path) && timer.elapsed() < 30000)
        QThread::msleep(20);
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

TEST(WebUpdateDesktopTest, StartsScriptsAndExecutablesDetachedWithTheirParameters) {
    QTemporaryDir dir;
    TwuQtDesktop desktop;

    const QString script = dir.filePath("update.sh");
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("out=\"$(dirname \"$0\")/script\"\n"
               "echo \"$1 $2\" > \"$out.tmp\" && mv \"$out.tmp\" \"$out.txt\"\n");
    file.close();
    EXPECT_TRUE(desktop.StartFile(script, "--update \"two words\""));
    EXPECT_EQ(WaitForFile(dir.filePath("script.txt")), "--update two words");

    const QString program = dir.filePath("velora_new");
    ASSERT_TRUE(QFile::copy(script, program));
    QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner);
    QFile::remove(dir.filePath("script.txt"));
    QFile header(program);
    ASSERT_TRUE(header.open(QIODevice::ReadWrite));
    const QByteArray body = header.readAll();
    header.seek(0);
    header.write("#!/bin/sh\n" + body);
    header.close();
    EXPECT_TRUE(desktop.StartFile(program, "a b"));
    EXPECT_EQ(WaitForFile(dir.filePath("script.txt")), "a b");

    EXPECT_FALSE(desktop.StartFile(dir.filePath("missing"), QString()));
    EXPECT_FALSE(desktop.StartFile(dir.path(), QString())) << "a folder is not a file to run";
}

TEST(WebUpdateDesktopTest, TerminateEndsTheRunningEventLoop) {
    TwuQtDesktop desktop;
    bool carriedOn = false;
    QTimer::singleShot(0, [&] {
        desktop.Terminate();
        carriedOn = true;
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(10000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_TRUE(carriedOn);
}

} // namespace
