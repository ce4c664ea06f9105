#include "VersionInfo.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

TEST(VersionInfo, FourNumbersAndMajorMinor) {
    const TFileVersion v{1, 3, 0, 17};
    EXPECT_EQ(FileVersionText(v), QStringLiteral("1.3.0.17"));
    EXPECT_EQ(VersionMajorMinor(v), QStringLiteral("1.3"));
    EXPECT_EQ(FileVersionParts(v), v);
    const TFileVersion top{65535, 65535, 65535, 65535};
    EXPECT_EQ(FileVersionText(top), QStringLiteral("65535.65535.65535.65535"));
}

TEST(VersionInfo, NoVersionDataGivesEmptyMajorMinor) {
    EXPECT_EQ(VersionMajorMinor(std::nullopt), QString());
    EXPECT_EQ(FileVersionText(std::nullopt), QStringLiteral("0.0.0.0"));
}

TEST(VersionInfo, OwnVersionIsTheBuildsVersion) {
    ASSERT_TRUE(OwnFileVersion().has_value());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+\\.\\d+$"))
                    .match(FileVersionText())
                    .hasMatch());
    EXPECT_TRUE(FileVersionText().startsWith(VersionMajorMinor() + u'.'));
}

TEST(VersionInfo, ComputerNameIsBounded) {
    EXPECT_LE(LocalComputerName().size(), 260);
}

} // namespace
