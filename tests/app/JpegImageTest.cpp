#include "JpegImage.h"

#include <QBuffer>
#include <QFile>
#include <gtest/gtest.h>

namespace {

TEST(JpegImage, DecodesTheBanner) {
    QFile file(QStringLiteral(":/velora/banner.jpg"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QImage image = DecodeJpeg(file.readAll());
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(920, 120));
}

TEST(JpegImage, DecodedPixelsMatchTheSource) {
    QImage source(16, 8, QImage::Format_RGB888);
    source.fill(QColor(200, 40, 90));
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(source.save(&buffer, "JPG", 100));
    const QImage image = DecodeJpeg(buffer.data());
    ASSERT_EQ(image.size(), source.size());
    const QColor pixel = image.pixelColor(5, 5);
    EXPECT_NEAR(pixel.red(), 200, 4);
    EXPECT_NEAR(pixel.green(), 40, 4);
    EXPECT_NEAR(pixel.blue(), 90, 4);
}

TEST(JpegImage, AnythingElseGivesANullImage) {
    for (const QByteArray& bytes :
         {QByteArray(), QByteArray("not a picture"), QByteArray("\xFF\xD8\xFF\xE0", 4)})
        EXPECT_TRUE(DecodeJpeg(bytes).isNull()) << bytes.toHex().constData();
}

} // namespace
