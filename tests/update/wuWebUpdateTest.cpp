#include "RecordingDesktop.h"
#include "TestWebUpdate.h"

#include <gtest/gtest.h>

namespace {

TEST(WebUpdateTest, NewComponentHasTheDefaults) {
    TRecordingDesktop desktop;
    TTestWebUpdate update(&desktop);
    EXPECT_EQ(update.ProductInfo().URL(), "http://");
    EXPECT_EQ(update.ProductInfo().Version(), "1.0");
    EXPECT_EQ(update.ProductInfo().VersionFormat(), vfStandard);
    const TwuTagInfo& tags = update.TagInfo();
    EXPECT_EQ(
        QStringList({tags.Author(), tags.Email(), tags.ClientFileName(), tags.Download(),
                     tags.ProductName(), tags.Redirection(), tags.RunParameters(), tags.Version()}),
        QStringList({"wuAuthor", "wuEmail", "wuClientSideName", "wuDownload", "wuProduct",
                     "wuRedirection", "wuRunParameters", "wuVersion"}));
    EXPECT_EQ(update.InfoCaption().OkButton(), "&OK");
    EXPECT_EQ(update.InfoCaption().CancelButton(), "&Cancel");
    EXPECT_EQ(update.InfoCaption().CheckForUpdate(), "C&heck for updates in the future");
    EXPECT_EQ(update.Options(), TwuUpdateOptions(uoRunUpdate) | uoTerminate);
    EXPECT_EQ(update.HTTPPort(), 80u);
    EXPECT_TRUE(update.TargetFolder().isEmpty());
    EXPECT_FALSE(update.Active());
    EXPECT_TRUE(update.ProductVersion().isEmpty());
    EXPECT_TRUE(update.RedirectionURL().isEmpty());
    EXPECT_TRUE(update.Info().isEmpty());
}

TEST(WebUpdateTest, VersionReadsTheComponentsOwnAndIgnoresWrites) {
    TwuWebUpdate update;
    EXPECT_EQ(update.Version(), "1.21");
    update.SetVersion("1.0");
    EXPECT_EQ(update.Version(), "1.21");
}

struct TUrlCase {
    const char* Written;
    const char* Stored;
};

class WebUpdateUrlTest : public testing::TestWithParam<TUrlCase> {};

TEST_P(WebUpdateUrlTest, WritingNormalisesTheScheme) {
    TwuProductInfo info;
    info.SetURL(QString::fromUtf8(GetParam().Written));
    EXPECT_EQ(info.URL(), QString::fromUtf8(GetParam().Stored));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WebUpdateUrlTest,
    testing::Values(TUrlCase{"", "http://"},
                    TUrlCase{"www.velora.example/info", "http://www.velora.example/info"},
                    TUrlCase{"http://www.velora.example/", "http://www.velora.example/"},
                    TUrlCase{"HTTP://WWW.velora.example", "HTTP://WWW.velora.example"},
                    TUrlCase{"Http://x", "Http://x"},
                    // Secure addresses are kept, so that they can be fetched at all.
                    TUrlCase{"https://www.velora.example/i", "https://www.velora.example/i"},
                    TUrlCase{"HTTPS://x/", "HTTPS://x/"}, TUrlCase{"ftp://x/", "http://ftp://x/"},
                    TUrlCase{"http:/x", "http://http:/x"}, TUrlCase{"http", "http://http"}));

struct TSplitCase {
    const char* Url;
    const char* Host;
    const char* Path;
};

class WebUpdateSplitUrlTest : public testing::TestWithParam<TSplitCase> {};

TEST_P(WebUpdateSplitUrlTest, GivesHostAndPath) {
    TwuWebUpdate update;
    QString host = "stale";
    QString path = "stale";
    update.SplitURL(QString::fromUtf8(GetParam().Url), host, path);
    EXPECT_EQ(host, QString::fromUtf8(GetParam().Host));
    EXPECT_EQ(path, QString::fromUtf8(GetParam().Path));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WebUpdateSplitUrlTest,
    testing::Values(TSplitCase{"http://www.velora.example/a/b.php?x=1&y=/2", "www.velora.example",
                               "/a/b.php?x=1&y=/2"},
                    TSplitCase{"HTTP://host:8080/", "host:8080", "/"},
                    TSplitCase{"https://secure.example/p", "secure.example", "/p"},
                    TSplitCase{"www.velora.example/file.exe", "www.velora.example", "/file.exe"},
                    TSplitCase{"/download/file.exe", "", "/download/file.exe"},
                    TSplitCase{"file.exe", "", "file.exe"},
                    TSplitCase{"http://host.example", "", "host.example"},
                    TSplitCase{"http://", "", ""}, TSplitCase{"", "", ""}));

// Feeds page lines straight to the META reader.
class WebUpdateParseInfoTest : public testing::Test {
protected:
    void Parse(const QStringList& lines) {
        Update.InfoLines() = lines;
        Update.ParseInfo();
    }
    static QString Meta(const QString& name, const QString& content) {
        return QStringLiteral("<META NAME=\"%1\" CONTENT=\"%2\">").arg(name, content);
    }
    TTestWebUpdate Update;
};

TEST_F(WebUpdateParseInfoTest, ReadsEveryTagIntoItsResult) {
    Parse({"<html><head>", Meta("wuProduct", "Velora"), Meta("wuVersion", "1.2.3"),
           Meta("wuDownload", "www.velora.example/velora_new"), Meta("wuClientSideName", "v.bin"),
           Meta("wuAuthor", "Team"), Meta("wuEmail", "team@velora.example"),
           Meta("wuRunParameters", "--quiet --now"), Meta("wuRedirection", "http://next/"),
           "</head></html>"});
    EXPECT_EQ(Update.ProductName(), "Velora");
    EXPECT_EQ(Update.ProductVersion(), "1.2.3");
    EXPECT_EQ(Update.UpdateURL(), "www.velora.example/velora_new");
    EXPECT_EQ(Update.ClientFileName(), "v.bin");
    EXPECT_EQ(Update.Author(), "Team");
    EXPECT_EQ(Update.EMail(), "team@velora.example");
    EXPECT_EQ(Update.RunParameters(), "--quiet --now");
    EXPECT_EQ(Update.RedirectionURL(), "http://next/");
}

struct TLineCase {
    const char* Name;
    QString Line;
    QString Version; // what wuVersion reads as
};

class WebUpdateMetaLineTest : public testing::TestWithParam<TLineCase> {};

TEST_P(WebUpdateMetaLineTest, ReadsTheVersionTag) {
    TTestWebUpdate update;
    update.InfoLines() = {GetParam().Line};
    update.ParseInfo();
    EXPECT_EQ(update.ProductVersion(), GetParam().Version) << qPrintable(GetParam().Line);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, WebUpdateMetaLineTest,
    testing::Values(
        TLineCase{"Plain", R"(<META NAME="wuVersion" CONTENT="2.0">)", "2.0"},
        // Only "META NAME" must stand together; CONTENT= is looked for in the whole line.
        TLineCase{"ContentFirst", R"(<META CONTENT="2.1" NAME="wuVersion">)", ""},
        TLineCase{"ContentBeforeName", R"(CONTENT="2.1" <META NAME="wuVersion">)", "2.1"},
        TLineCase{"LowerContent", R"(<META NAME="wuVersion" content="2.2">)", "2.2"},
        TLineCase{"MixedContent", R"(<META NAME="wuVersion" CoNtEnT="2.3">)", "2.3"},
        TLineCase{"ContentKeepsItsCase", R"(<META NAME="wuVersion" CONTENT="Beta-X">)", "Beta-X"},
        TLineCase{"LowerMetaName", R"(<meta name="wuVersion" content="2.4">)", ""},
        TLineCase{"MixedMetaName", R"(<Meta Name="wuVersion" CONTENT="2.5">)", ""},
        TLineCase{"NameIsCaseSensitive", R"(<META NAME="WUVERSION" CONTENT="2.6">)", ""},
        TLineCase{"TwoBlanks", R"(<META  NAME="wuVersion" CONTENT="2.7">)", ""},
        // The two characters after META NAME are skipped unseen.
        TLineCase{"AnyTwoSkipped", R"(<META NAMExxwuVersion" CONTENT="2.8">)", "2.8"},
        TLineCase{"SkipsOneAfterEquals", R"(<META NAME="wuVersion" CONTENT=x2.9">)", "2.9"},
        TLineCase{"NoClosingQuote", R"(<META NAME="wuVersion" CONTENT="3.0)", ""},
        TLineCase{"EmptyValue", R"(<META NAME="wuVersion" CONTENT="">)", ""},
        TLineCase{"FirstContentCounts", R"(CONTENT="3.1" <META NAME="wuVersion" CONTENT="3.2">)",
                  "3.1"},
        TLineCase{"FirstMetaNameCounts",
                  R"(<META NAME="wuProduct" CONTENT="3.3"><META NAME="wuVersion">)", ""},
        TLineCase{"Value254", R"(<META NAME="wuVersion" CONTENT=")" + QString(254, 'v') + "\">",
                  QString(254, 'v')},
        TLineCase{"Value255", R"(<META NAME="wuVersion" CONTENT=")" + QString(255, 'v') + "\">",
                  ""},
        TLineCase{"ShortLineAfterName", "META NAME", ""},
        TLineCase{"NoTagAtAll", "wuVersion 4.0", ""}),
    [](const testing::TestParamInfo<TLineCase>& info) { return info.param.Name; });

TEST_F(WebUpdateParseInfoTest, NameIsReadWithinTheWindowToo) {
    const QString longName(254, 'n');
    Update.TagInfo().SetVersion(longName);
    Parse({Meta(longName, "5.0")});
    EXPECT_EQ(Update.ProductVersion(), "5.0");
    Update.TagInfo().SetVersion(longName + "n");
    Parse({Meta(longName + "n", "5.1")});
    EXPECT_TRUE(Update.ProductVersion().isEmpty());
}

TEST_F(WebUpdateParseInfoTest, LaterLineWinsAndSharedNamesFillBoth) {
    Update.TagInfo().SetAuthor("wuProduct");
    Parse({Meta("wuProduct", "First"), Meta("wuProduct", "Second")});
    EXPECT_EQ(Update.ProductName(), "Second");
    EXPECT_EQ(Update.Author(), "Second");
}

TEST_F(WebUpdateParseInfoTest, LineWithoutContentKeepsTheEarlierValue) {
    Parse({Meta("wuVersion", "1.5"), R"(<META NAME="wuVersion">)"});
    EXPECT_EQ(Update.ProductVersion(), "1.5");
}

TEST_F(WebUpdateParseInfoTest, EveryReadClearsTheEarlierResults) {
    Parse({Meta("wuProduct", "Velora"), Meta("wuRedirection", "http://next/"),
           Meta("wuClientSideName", "v.bin")});
    Parse({Meta("wuVersion", "2.0")});
    EXPECT_TRUE(Update.ProductName().isEmpty());
    EXPECT_TRUE(Update.RedirectionURL().isEmpty());
    EXPECT_TRUE(Update.ClientFileName().isEmpty());
    EXPECT_EQ(Update.ProductVersion(), "2.0");
}

struct TVersionCase {
    TwuVersionFormat Format;
    const char* Installed;
    const char* Offered;
    bool Newer;
};

class WebUpdateVersionTest : public testing::TestWithParam<TVersionCase> {};

TEST_P(WebUpdateVersionTest, ComparesAndReportsNoUpdateOnceWhenFalse) {
    const TVersionCase& c = GetParam();
    TTestWebUpdate update;
    int noUpdate = 0;
    update.OnNoUpdateFound = [&](TwuWebUpdate* sender) {
        EXPECT_EQ(sender, &update);
        ++noUpdate;
    };
    update.ProductInfo().SetVersion(QString::fromUtf8(c.Installed));
    update.ProductInfo().SetVersionFormat(c.Format);
    update.InfoLines() = {QStringLiteral("<META NAME=\"wuVersion\" CONTENT=\"%1\">")
                              .arg(QString::fromUtf8(c.Offered))};
    update.ParseInfo();
    EXPECT_EQ(update.IsNewerVersion(), c.Newer) << c.Installed << " vs " << c.Offered;
    EXPECT_EQ(noUpdate, c.Newer ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Standard, WebUpdateVersionTest,
                         testing::Values(TVersionCase{vfStandard, "1.9", "1.10", true},
                                         TVersionCase{vfStandard, "1.10", "1.9", false},
                                         TVersionCase{vfStandard, "1.2", "1.2", false},
                                         TVersionCase{vfStandard, "1.2", "2.0", true},
                                         TVersionCase{vfStandard, "2.0", "1.9.9", false},
                                         // Missing components count as 0 on either side.
                                         TVersionCase{vfStandard, "1.2", "1.2.1", true},
                                         TVersionCase{vfStandard, "1.2", "1.2.0", false},
                                         TVersionCase{vfStandard, "1.2.1", "1.2", false},
                                         TVersionCase{vfStandard, "1.2.0.0", "1.2", false},
                                         TVersionCase{vfStandard, "1", "1.0.0.1", true},
                                         // Unreadable components count as 0.
                                         TVersionCase{vfStandard, "1.a", "1.1", true},
                                         TVersionCase{vfStandard, "1.1", "1.beta", false},
                                         TVersionCase{vfStandard, "", "0.1", true},
                                         TVersionCase{vfStandard, "1.0", "", false},
                                         TVersionCase{vfStandard, "1.0", "1.99999999999", false},
                                         TVersionCase{vfStandard, "1.-1", "1.0", true}));

INSTANTIATE_TEST_SUITE_P(String, WebUpdateVersionTest,
                         testing::Values(TVersionCase{vfString, "1.9", "1.10", false},
                                         TVersionCase{vfString, "1.10", "1.9", true},
                                         TVersionCase{vfString, "1.2", "1.2", false},
                                         TVersionCase{vfString, "1.2", "1.2.1", true},
                                         TVersionCase{vfString, "beta", "Beta", false},
                                         TVersionCase{vfString, "", "a", true}));

INSTANTIATE_TEST_SUITE_P(Number, WebUpdateVersionTest,
                         testing::Values(TVersionCase{vfNumber, "1.9", "1.10", false},
                                         TVersionCase{vfNumber, "1.9", "1.95", true},
                                         TVersionCase{vfNumber, "1.9", "2", true},
                                         TVersionCase{vfNumber, "1.5", "1.50", false},
                                         TVersionCase{vfNumber, "1.0", "1,10", false},
                                         TVersionCase{vfNumber, "1,0", "2.0", false},
                                         TVersionCase{vfNumber, "1.0", "1.2.3", false},
                                         TVersionCase{vfNumber, "1.0", "", false},
                                         TVersionCase{vfNumber, "1e0", "1.5e0", true}));

} // namespace
