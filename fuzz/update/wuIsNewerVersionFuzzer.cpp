#include "FuzzWebUpdate.h"

#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// Puts a version on a page line the way a server would.
void Offer(TFuzzWebUpdate& update, QString version) {
    version.remove(QLatin1Char('"')).remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));
    update.InfoLines() = {
        QStringLiteral("<META NAME=\"wuVersion\" CONTENT=\"%1\">").arg(version.left(254))};
    update.ParseInfo();
}

} // namespace

// Input: one byte choosing the format, then "installed\noffered". Besides
// OnNoUpdateFound coming exactly with false, the comparison must never call
// both versions newer than each other.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const auto format = static_cast<TwuVersionFormat>(data[0] % 3);
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data + 1),
                                           static_cast<qsizetype>(size - 1));
    const qsizetype split = text.indexOf(QLatin1Char('\n'));
    QString installed = split < 0 ? text : text.left(split);
    const QString offered = split < 0 ? QString() : text.mid(split + 1);
    installed.remove(QLatin1Char('"')).remove(QLatin1Char('\r'));
    installed = installed.left(254);

    TFuzzWebUpdate forward;
    forward.ProductInfo().SetVersionFormat(format);
    forward.ProductInfo().SetVersion(installed);
    Offer(forward, offered);
    const bool newer = forward.CheckedIsNewerVersion();

    TFuzzWebUpdate backward;
    backward.ProductInfo().SetVersionFormat(format);
    backward.ProductInfo().SetVersion(forward.ProductVersion());
    Offer(backward, installed);
    if (newer && backward.CheckedIsNewerVersion())
        std::abort();
    return 0;
}
