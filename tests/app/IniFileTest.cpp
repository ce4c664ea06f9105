#include "IniFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct IntegerCase {
    const char* Text;
    bool Valid;
    int Value;
};

class IniInteger : public testing::TestWithParam<IntegerCase> {};

TEST_P(IniInteger, ParsesDecimalAndHexadecimalOrRefuses) {
    const IntegerCase& c = GetParam();
    int value = 12345;
    EXPECT_EQ(ParseIniInteger(QString::fromUtf8(c.Text), value), c.Valid) << c.Text;
    if (c.Valid) {
        EXPECT_EQ(value, c.Value) << c.Text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, IniInteger,
    testing::Values(
        IntegerCase{"1024", true, 1024}, IntegerCase{" 77 ", true, 77}, IntegerCase{"-5", true, -5},
        IntegerCase{"+5", true, 5}, IntegerCase{"0x400", true, 1024}, IntegerCase{"0X1f", true, 31},
        IntegerCase{"$400", true, 1024}, IntegerCase{"$ffffffff", true, -1},
        IntegerCase{"-$10", true, -16}, IntegerCase{"2147483647", true, 2147483647},
        IntegerCase{"2147483648", false, 0}, IntegerCase{"$100000000", false, 0},
        IntegerCase{"", false, 0}, IntegerCase{"0x", false, 0}, IntegerCase{"$", false, 0},
        IntegerCase{"12abc", false, 0}, IntegerCase{"1 2", false, 0}, IntegerCase{"0x1g", false, 0},
        IntegerCase{"abc", false, 0}, IntegerCase{"1.5", false, 0}, IntegerCase{"١٢", false, 0}));

QString WriteFile(const QTemporaryDir& dir, const QByteArray& bytes) {
    const QString path = dir.filePath(QStringLiteral("data.ini"));
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
    return path;
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

TEST(IniFile, MissingFileReadsDefaultsAndIsCreatedOnSave) {
    QTemporaryDir dir;
    TIniFile ini(dir.filePath(QStringLiteral("data.ini")));
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("pripojeni"), QStringLiteral("port"), 1024), 1024);
    EXPECT_EQ(ini.ReadString(QStringLiteral("pripojeni"), QStringLiteral("jmeno"), QString()),
              QString());
    ini.WriteInteger(QStringLiteral("Rozmisteni"), QStringLiteral("sirka"), 500);
    ini.WriteString(QStringLiteral("pripojeni"), QStringLiteral("jmeno"), QStringLiteral("a@b"));
    ini.Save();
    EXPECT_EQ(ReadFile(ini.Path()),
              "[Rozmisteni]\r\nsirka=500\r\n\r\n[pripojeni]\r\njmeno=a@b\r\n");
}

TEST(IniFile, NamesMatchWithoutRegardToCase) {
    QTemporaryDir dir;
    const QString path = WriteFile(dir, "[PRIPOJENI]\nPort = 0x10\nJMENO=  x@y  \n");
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("pripojeni"), QStringLiteral("port"), 1024), 16);
    EXPECT_EQ(ini.ReadString(QStringLiteral("pripojeni"), QStringLiteral("jmeno"), QString()),
              QStringLiteral("x@y"));
    // Writing keeps the spelling the file already uses.
    ini.WriteInteger(QStringLiteral("pripojeni"), QStringLiteral("port"), 1024);
    ini.Save();
    EXPECT_EQ(ReadFile(path), "[PRIPOJENI]\r\nPort=1024\r\nJMENO=  x@y  \r\n");
}

TEST(IniFile, RewriteKeepsUnknownSectionsKeysAndComments) {
    QTemporaryDir dir;
    const QString path = WriteFile(dir, "; settings\r\n"
                                        "[Rozmisteni]\r\n"
                                        "sirka=800\r\n"
                                        "barva=modra\r\n"
                                        "\r\n"
                                        "[jine]\r\n"
                                        "klic=hodnota\r\n"
                                        "[pripojeni]\r\n"
                                        "server=xmpp.test\r\n");
    TIniFile ini(path);
    ini.WriteInteger(QStringLiteral("Rozmisteni"), QStringLiteral("sirka"), 640);
    ini.WriteInteger(QStringLiteral("Rozmisteni"), QStringLiteral("vyska"), 480);
    ini.WriteInteger(QStringLiteral("pripojeni"), QStringLiteral("port"), 1024);
    ini.Save();
    EXPECT_EQ(ReadFile(path), "; settings\r\n"
                              "[Rozmisteni]\r\n"
                              "sirka=640\r\n"
                              "barva=modra\r\n"
                              "vyska=480\r\n"
                              "\r\n"
                              "[jine]\r\n"
                              "klic=hodnota\r\n"
                              "[pripojeni]\r\n"
                              "server=xmpp.test\r\n"
                              "port=1024\r\n");
}

TEST(IniFile, KeyOfAnotherSectionIsNotTaken) {
    QTemporaryDir dir;
    TIniFile ini(WriteFile(dir, "port=1\n[jine]\nport=2\n[pripojeni]\n"));
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("pripojeni"), QStringLiteral("port"), 1024), 1024);
}

} // namespace
