#include "JpegImage.h"

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

namespace {

struct TJpegError {
    jpeg_error_mgr Manager;
    std::jmp_buf Jump;
};

// libjpeg must not return from error_exit; jump back to the decoder. Only C
// frames and no C++ objects lie between the two points.
[[noreturn]] void ErrorExit(j_common_ptr info) {
    std::longjmp(reinterpret_cast<TJpegError*>(info->err)->Jump, 1);
}

void NoOutput(j_common_ptr) {}

bool Decode(const QByteArray& bytes, QImage* out) {
    jpeg_decompress_struct info{};
    TJpegError error{};
    info.err = jpeg_std_error(&error.Manager);
    error.Manager.error_exit = ErrorExit;
    error.Manager.output_message = NoOutput;
    if (setjmp(error.Jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.constData()),
                 static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    *out = QImage(static_cast<int>(info.output_width), static_cast<int>(info.output_height),
                  QImage::Format_RGB888);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out->scanLine(static_cast<int>(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

} // namespace

QImage DecodeJpeg(const QByteArray& bytes) {
    QImage image;
    if (bytes.isEmpty() || !Decode(bytes, &image))
        return QImage();
    return image;
}
