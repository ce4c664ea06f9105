#include "VersionInfo.h"

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

// VELORA_DECLARED_VERSION is read from the text of the top CMakeLists.txt when
// the tests are configured, apart from the project's own version variables.
TEST(VersionInfo, OwnVersionIsTheOneTheProjectDeclares) {
    ASSERT_TRUE(OwnFileVersion().has_value());
    EXPECT_EQ(FileVersionText(), QStringLiteral(VELORA_DECLARED_VERSION));
    EXPECT_EQ(VersionMajorMinor(), QStringLiteral(VELORA_DECLARED_VERSION).section(u'.', 0, 1));
}

TEST(VersionInfo, ComputerNameIsBounded) {
    EXPECT_LE(LocalComputerName().size(), 260);
}

} // namespace
