#include "wuHttp.h"

#include "HttpFixture.h"

#include <gtest/gtest.h>
#include <stdexcept>

namespace {

// The layer set up as the program's own self-update download uses it: its
// own headers, no proxy, an error status is a failure, progress from the
// announced length and the chunks.
class WebUpdateHttpTest : public testing::Test {
protected:
    static void SetUpTestSuite() { Server = new THttpFixture; }
    static void TearDownTestSuite() {
        delete Server;
        Server = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(Server->Port(), 0);
        Server->ClearLog();
        Server->Put("file.bin", Body);
        Request.UserAgent = "Mozilla/3.0 (compatible; Indy Library)";
        Request.Accept = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";
        Request.UseProxyEnvironment = false;
        Request.FailOnHttpError = true;
        Handlers.OnResponse = [this](const TwuHttpResponse& response) {
            Responses << response;
            return true;
        };
        Handlers.OnData = [this](const char* data, std::size_t size) {
            Received.append(data, static_cast<qsizetype>(size));
            ++Chunks;
            return true;
        };
    }

    static THttpFixture* Server;
    const QByteArray Body = QByteArray(70000, 'b');
    TwuHttpRequest Request;
    TwuHttpHandlers Handlers;
    QList<TwuHttpResponse> Responses;
    QByteArray Received;
    int Chunks = 0;
};

THttpFixture* WebUpdateHttpTest::Server = nullptr;

TEST_F(WebUpdateHttpTest, DownloadSendsItsOwnHeadersAndReportsLengthAndBody) {
    Request.Url = Server->Url("/file.bin");
    const TwuHttpResult result = wuHttpGet(Request, Handlers);
    EXPECT_TRUE(result.Completed) << qPrintable(result.Error);
    ASSERT_EQ(Responses.size(), 1);
    EXPECT_EQ(Responses[0].Status, 200);
    EXPECT_EQ(Responses[0].ContentLength, QByteArray::number(Body.size()));
    EXPECT_EQ(Received, Body);
    const QString log = Server->Log();
    EXPECT_TRUE(log.startsWith("GET /file.bin HTTP/1.1\n")) << qPrintable(log);
    EXPECT_TRUE(log.contains("User-Agent: Mozilla/3.0 (compatible; Indy Library)\n"));
    EXPECT_TRUE(
        log.contains("Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\n"));
    EXPECT_FALSE(log.contains("Pragma"));
}

TEST_F(WebUpdateHttpTest, ErrorStatusOrBrokenBodyIsAFailure) {
    for (const char* path : {"/missing.bin", "/file.bin?status=500", "/file.bin?length=80000"}) {
        Responses.clear();
        Request.Url = Server->Url(QString::fromLatin1(path));
        const TwuHttpResult result = wuHttpGet(Request, Handlers);
        EXPECT_FALSE(result.Completed) << path;
        EXPECT_FALSE(result.Error.isEmpty()) << path;
        EXPECT_EQ(Responses.size(), 1) << path;
    }
}

TEST_F(WebUpdateHttpTest, ProxyEnvironmentCanBeIgnored) {
    const QByteArray old = qgetenv("http_proxy");
    const QByteArray oldNo = qgetenv("no_proxy");
    // A proxy that does not exist: only a direct connection can succeed.
    qputenv("http_proxy", "http://127.0.0.1:9");
    qunsetenv("no_proxy");
    Request.Url = Server->Url("/file.bin");
    const TwuHttpResult result = wuHttpGet(Request, Handlers);
    qputenv("http_proxy", old);
    qputenv("no_proxy", oldNo);
    EXPECT_TRUE(result.Completed) << qPrintable(result.Error);
}

TEST_F(WebUpdateHttpTest, HandlersCanStopOrThrow) {
    Request.Url = Server->Url("/file.bin");
    Request.MaxChunk = 100;
    Handlers.OnData = [this](const char*, std::size_t size) {
        EXPECT_LE(size, 100u);
        return ++Chunks < 3;
    };
    TwuHttpResult result = wuHttpGet(Request, Handlers);
    EXPECT_TRUE(result.Stopped);
    EXPECT_FALSE(result.Completed);
    EXPECT_EQ(Chunks, 3);

    Handlers.OnData = [](const char*, std::size_t) -> bool {
        throw std::runtime_error("disk");
    };
    EXPECT_THROW(wuHttpGet(Request, Handlers), std::runtime_error);
}

TEST_F(WebUpdateHttpTest, NoServerStillAnswersOnceWithoutAResponse) {
    quint16 closedPort = 0;
    {
        THttpFixture gone;
        closedPort = gone.Port();
    }
    Request.Url = QStringLiteral("http://127.0.0.1:%1/file.bin").arg(closedPort);
    const TwuHttpResult result = wuHttpGet(Request, Handlers);
    EXPECT_FALSE(result.Completed);
    ASSERT_EQ(Responses.size(), 1);
    EXPECT_FALSE(Responses[0].Received);
    EXPECT_FALSE(Responses[0].ContentLength.has_value());
}

} // namespace
