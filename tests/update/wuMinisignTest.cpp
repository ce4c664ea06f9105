// The signature check against files signed by the real minisign tool.
#include "wuMinisign.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class MinisignTest : public testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(QStringLiteral("minisign")).isEmpty())
            GTEST_SKIP() << "minisign is installed by scripts/setup";
        ASSERT_TRUE(Minisign({"-G", "-W", "-p", Path("key.pub"), "-s", Path("key.sec")}));
        Write("file", QByteArray(100000, 'f') + "end");
    }

    QString Path(const QString& name) const { return QDir(Folder.path()).filePath(name); }
    QByteArray Read(const QString& name) const {
        QFile file(Path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    void Write(const QString& name, const QByteArray& content) const {
        QFile file(Path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    bool Minisign(const QStringList& arguments) const {
        QProcess process;
        process.start(QStringLiteral("minisign"), arguments);
        return process.waitForFinished(30000) && process.exitCode() == 0;
    }
    bool Verify(const QByteArray& signature, const QString& file = QStringLiteral("file")) const {
        const auto key = TwuMinisignPublicKey::Parse(Read("key.pub"));
        const auto parsed = TwuMinisignSignature::Parse(signature);
        return key && parsed && wuMinisignVerifyFile(*key, *parsed, Path(file));
    }

    QTemporaryDir Folder;
};

TEST_F(MinisignTest, PrehashedAndLegacySignaturesOfTheToolAreAccepted) {
    ASSERT_TRUE(Minisign({"-S", "-s", Path("key.sec"), "-m", Path("file"), "-t", "Velora 2.0"}));
    ASSERT_TRUE(Minisign(
        {"-S", "-l", "-s", Path("key.sec"), "-m", Path("file"), "-x", Path("legacy.minisig")}));
    for (const char* name : {"file.minisig", "legacy.minisig"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(Verify(Read(name)));
        // One byte changed in the file, or in the signed comment: refused.
        QByteArray tampered = Read("file");
        tampered[5] = 'x';
        Write("tampered", tampered);
        EXPECT_FALSE(Verify(Read(name), QStringLiteral("tampered")));
        EXPECT_FALSE(Verify(Read(name).replace("trusted comment: ", "trusted comment: X")));
    }
    EXPECT_EQ(TwuMinisignSignature::Parse(Read("file.minisig"))->TrustedComment, "Velora 2.0");
    // The key line alone is a key too.
    EXPECT_TRUE(TwuMinisignPublicKey::Parse(Read("key.pub").split('\n').value(1)));
}

TEST_F(MinisignTest, MalformedTextsAreNoSignatureAndNoKey) {
    ASSERT_TRUE(Minisign({"-S", "-s", Path("key.sec"), "-m", Path("file")}));
    const QByteArray good = Read("file.minisig");
    const QList<QByteArray> lines = good.split('\n');
    for (const QByteArray& bad :
         {QByteArray(), good.left(good.size() / 2), lines[0] + "\n" + lines[1] + "\n",
          QByteArray(good).replace(lines[1], lines[1].left(20)),
          QByteArray(good).replace("trusted comment: ", "comment: "), QByteArray("\n\n\n\n")})
        EXPECT_FALSE(TwuMinisignSignature::Parse(bad)) << bad.toStdString();
    for (const QByteArray& bad : {QByteArray(), QByteArray("RWQ"), good, Read("key.sec")})
        EXPECT_FALSE(TwuMinisignPublicKey::Parse(bad)) << bad.left(40).toStdString();
}

} // namespace
