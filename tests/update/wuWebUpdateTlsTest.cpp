// The update check over https: the fixture serves TLS with a certificate from
// a private CA made at test time; a plain fixture beside it shows that an
// https page never hands over to plain http.
#include "HttpFixture.h"
#include "MinisignTestKey.h"
#include "RecordingDesktop.h"
#include "TestWebUpdate.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QByteArray Meta(const char* name, const QString& content) {
    return QStringLiteral("<META NAME=\"%1\" CONTENT=\"%2\">\r\n")
        .arg(QLatin1String(name), content)
        .toUtf8();
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QByteArray kUpdateFile = QByteArray(300000, 'u') + "end";

class WebUpdateTlsTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(Plain.Port(), 0);
        ASSERT_NE(Tls.Port(), 0) << "no certificates or no TLS fixture";
        FOldTemp = qgetenv("TMPDIR");
        qputenv("TMPDIR", Temp.path().toLocal8Bit());
        for (const THttpFixture* server : {&Plain, &Tls}) {
            server->Put("update.bin", kUpdateFile);
            server->Put("update.bin.minisig", Key.Sign(kUpdateFile));
            server->Put("info.html", Page("/update.bin"));
        }
        Update.SetPublicKey(Key.PublicKeyText());
        Update.SetCaFile(Tls.CaFile());
        Update.SetOptions({});
        Update.OnBeforeShowInfo = [](TwuWebUpdate*, bool& ShowInfo, bool&) {
            ShowInfo = false;
        };
    }
    void TearDown() override { qputenv("TMPDIR", FOldTemp); }

    static QByteArray Page(const QString& download, const QByteArray& extra = {}) {
        return Meta("wuProduct", "Velora") + Meta("wuVersion", "2.0") +
               Meta("wuDownload", download) + Meta("wuClientSideName", "velora_new.bin") + extra;
    }
    QString Installed() const { return Temp.filePath(QStringLiteral("velora_new.bin")); }

    THttpFixture Plain;
    THttpFixture Tls{WU_CERTS_MAKE};
    TMinisignTestKey Key;
    QTemporaryDir Temp;
    TRecordingDesktop Desktop;
    TTestWebUpdate Update{&Desktop};

private:
    QByteArray FOldTemp;
};

TEST_F(WebUpdateTlsTest, SignedFileIsInstalledOverHttpsFromAServerTheCaVouchesFor) {
    Update.ProductInfo().SetURL(Tls.Url(QStringLiteral("/info.html")));
    EXPECT_TRUE(Update.CheckForAnUpdate());
    EXPECT_EQ(ReadFile(Installed()), kUpdateFile);
    EXPECT_EQ(Tls.RequestLines(),
              QStringList({"GET /info.html HTTP/1.0", "GET /update.bin HTTP/1.0",
                           "GET /update.bin.minisig HTTP/1.0"}));

    // Without the private CA the same server is a stranger: nothing is read.
    QFile::remove(Installed());
    Tls.ClearLog();
    Update.SetCaFile({});
    EXPECT_FALSE(Update.CheckForAnUpdate());
    EXPECT_TRUE(Tls.RequestLines().isEmpty());
    EXPECT_FALSE(QFile::exists(Installed()));
}

TEST_F(WebUpdateTlsTest, HttpsPageNeverHandsOverToPlainHttp) {
    const QString plain = QStringLiteral("http://127.0.0.1:%1").arg(Plain.Port());
    struct Case {
        const char* Name;
        QString Page;    // the address the check starts from, on the TLS fixture
        QByteArray Info; // what info.html there holds
    } cases[] = {
        {"download address", "/info.html", Page(plain + "/update.bin")},
        {"server redirection", "/info.html?location=" + plain + "/info.html", Page("/update.bin")},
        {"redirection tag", "/info.html",
         Page("/update.bin", Meta("wuRedirection", plain + "/info.html"))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Plain.ClearLog();
        Tls.Put("info.html", c.Info);
        Update.ProductInfo().SetURL(Tls.Url(c.Page));
        EXPECT_FALSE(Update.CheckForAnUpdate());
        EXPECT_FALSE(QFile::exists(Installed()));
        EXPECT_TRUE(Plain.RequestLines().isEmpty()) << qPrintable(Plain.Log());
    }
}

} // namespace
