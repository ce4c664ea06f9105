#pragma once

#include <QByteArray>
#include <QImage>

// Decodes JPEG bytes with libjpeg's decompression API into an RGB image; a
// null image when the bytes are not a JPEG libjpeg can read.
QImage DecodeJpeg(const QByteArray& bytes);
