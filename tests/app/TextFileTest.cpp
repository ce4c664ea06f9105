#include "TextFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/resource.h>

namespace {

struct SplitCase {
    const char* Text;
    QStringList Lines;
};

class LineSplit : public testing::TestWithParam<SplitCase> {};

TEST_P(LineSplit, CrLfAndCrLfEachEndALine) {
    EXPECT_EQ(SplitLines(QString::fromUtf8(GetParam().Text)), GetParam().Lines) << GetParam().Text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, LineSplit,
    testing::Values(SplitCase{"", {}}, SplitCase{"a", {"a"}}, SplitCase{"a\r\n", {"a"}},
                    SplitCase{"a\r\nb\r\n", {"a", "b"}}, SplitCase{"a\nb\rc", {"a", "b", "c"}},
                    SplitCase{"a\n\rb", {"a", "", "b"}}, SplitCase{"a\r\r\nb", {"a", "", "b"}},
                    SplitCase{"\r\n", {""}}, SplitCase{"x=1\r\n\r\ny=2", {"x=1", "", "y=2"}}));

const QStringList kLines = {QStringLiteral("10.12.26 9:05:01_kdo=111"),
                            QStringLiteral("10.12.26 9:05:01_nazev=Účetní oddělení"),
                            QStringLiteral("")};

struct EncodingCase {
    TTextEncoding Encoding;
    QByteArray Prefix;
};

class Encodings : public testing::TestWithParam<EncodingCase> {};

TEST_P(Encodings, MarkIsReadAndWrittenBack) {
    const EncodingCase& c = GetParam();
    const QByteArray bytes = EncodeTextFile(kLines, c.Encoding);
    EXPECT_TRUE(bytes.startsWith(c.Prefix));
    const TTextFile decoded = DecodeTextFile(bytes);
    EXPECT_EQ(decoded.Encoding, c.Encoding);
    EXPECT_EQ(decoded.Lines, kLines);
    EXPECT_EQ(EncodeTextFile(decoded.Lines, decoded.Encoding), bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Encodings,
    testing::Values(EncodingCase{TTextEncoding::Locale, "10.12.26"},
                    EncodingCase{TTextEncoding::Utf8Bom, "\xEF\xBB\xBF"
                                                         "10.12.26"},
                    EncodingCase{TTextEncoding::Utf16LE, QByteArray("\xFF\xFE\x31\x00", 4)},
                    EncodingCase{TTextEncoding::Utf16BE, QByteArray("\xFE\xFF\x00\x31", 4)}));

struct LegacyCase {
    const char* Name;
    QByteArray Bytes;  // the file as found
    QStringList Lines; // as read
    QByteArray Saved;  // as written back
};

void PrintTo(const LegacyCase& c, std::ostream* out) {
    *out << c.Name;
}

class LegacyLines : public testing::TestWithParam<LegacyCase> {};

TEST_P(LegacyLines, LinesThatAreNotUtf8AreReadAsWindows1250) {
    const TTextFile file = DecodeTextFile(GetParam().Bytes);
    EXPECT_EQ(file.Lines, GetParam().Lines);
    EXPECT_EQ(EncodeTextFile(file.Lines, file.Encoding), GetParam().Saved);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LegacyLines,
    testing::Values(
        LegacyCase{"Windows1250Line",
                   "T_nazev=\xDA\xE8"
                   "etn\xED odd\xEClen\xED\r\n",
                   {"T_nazev=Účetní oddělení"},
                   "T_nazev=\xC3\x9A\xC4\x8D"
                   "etn\xC3\xAD "
                   "odd\xC4\x9Blen\xC3\xAD\r\n"},
        LegacyCase{"Utf8StaysByteForByte",
                   "a=\xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD\r\n",
                   {"a=žluťoučký"},
                   "a=\xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD\r\n"},
        LegacyCase{"EachLineOnItsOwn",
                   "a=\xC5\xA0imon\r\nb=\x8Aimon\r\nc=\x9A\x9E\r\n",
                   {"a=Šimon", "b=Šimon", "c=šž"},
                   "a=\xC5\xA0imon\r\nb=\xC5\xA0imon\r\nc=\xC5\xA1\xC5\xBE\r\n"},
        LegacyCase{"OverlongUtf8IsNoUtf8", "a=\xC0\xAF\r\n", {"a=ŔŻ"}, "a=\xC5\x94\xC5\xBB\r\n"},
        LegacyCase{"SequenceCutAtTheLineEnd",
                   "a=\xC5\r\nb=\xA0\n",
                   {"a=Ĺ", "b=\u00A0"},
                   "a=\xC4\xB9\r\nb=\xC2\xA0\r\n"},
        LegacyCase{"MarkInsideTheTextIsKept",
                   "a\r\n\xEF\xBB\xBF"
                   "b\r\n",
                   {"a", QChar(0xFEFF) + QString("b")},
                   "a\r\n\xEF\xBB\xBF"
                   "b\r\n"},
        LegacyCase{
            "MarkedUtf8FileToo", "\xEF\xBB\xBFn=\xE8\r\n", {"n=č"}, "\xEF\xBB\xBFn=\xC4\x8D\r\n"},
        LegacyCase{"NulIsACharacter",
                   QByteArray("n=\0x\r\n", 6),
                   {QString("n=") + QChar(0) + "x"},
                   QByteArray("n=\0x\r\n", 6)}));

TEST(TextFile, LocaleEncodingIsUtf8WithCrLfAndNoMark) {
    EXPECT_EQ(EncodeTextFile({QStringLiteral("č=1"), QStringLiteral("b")}, TTextEncoding::Locale),
              QByteArray("\xC4\x8D=1\r\nb\r\n"));
    EXPECT_EQ(EncodeTextFile({}, TTextEncoding::Locale), QByteArray());
}

// A line that begins with U+FEFF can become the first one when the lines before it are
// deleted; written first in a file without a mark it would be read as the mark.
TEST(TextFile, MarkOpeningAFileWithoutOneIsLeftOut) {
    const QStringList lines = {QChar(0xFEFF) + QStringLiteral("a=1"),
                               QChar(0xFEFF) + QStringLiteral("b")};
    const QByteArray written = EncodeTextFile(lines, TTextEncoding::Locale);
    EXPECT_EQ(written, QByteArray("a=1\r\n\xEF\xBB\xBF"
                                  "b\r\n"));
    const TTextFile reread = DecodeTextFile(written);
    EXPECT_EQ(reread.Encoding, TTextEncoding::Locale);
    EXPECT_EQ(reread.Lines, (QStringList{QStringLiteral("a=1"), lines[1]}));
    EXPECT_EQ(DecodeTextFile(EncodeTextFile(lines, TTextEncoding::Utf8Bom)).Lines, lines);
}

TEST(TextFile, WritesThroughATemporaryFileAndLeavesNoneBehind) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("historie.dat"));
    WriteTextFile(path, {QStringLiteral("old")}, TTextEncoding::Locale);
    WriteTextFile(path, kLines, TTextEncoding::Utf8Bom);
    EXPECT_EQ(ReadTextFile(path).Lines, kLines);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("historie.dat")});
}

// A full disk, simulated by a file size limit: the write fails, the error
// says so, and the old history is still there, whole.
TEST(TextFile, FailedWriteThrowsAndKeepsTheOldFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("historie.dat"));
    WriteTextFile(path, kLines, TTextEncoding::Locale);
    const QByteArray before = EncodeTextFile(kLines, TTextEncoding::Locale);

    QStringList many;
    for (int i = 0; i < 2000; ++i)
        many << QStringLiteral("10.12.26 9:05:%1_kdo=111").arg(i);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &small);
    EXPECT_THROW(WriteTextFile(path, many, TTextEncoding::Locale), std::runtime_error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("historie.dat")});
}

TEST(TextFile, UnreadableFileThrowsWithThePath) {
    QTemporaryDir dir;
    try {
        ReadTextFile(dir.path());
        FAIL() << "a folder was read as a file";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(QString::fromUtf8(e.what()).indexOf(dir.path()), -1) << e.what();
    }
}

} // namespace
