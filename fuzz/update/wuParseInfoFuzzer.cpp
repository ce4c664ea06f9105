#include "FuzzWebUpdate.h"

#include <QRegularExpression>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

// Any page text: every value read is shorter than the 255-character window
// and holds no double quote, and its version compares consistently.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString page =
        QString::fromLatin1(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
    TFuzzWebUpdate update;
    update.InfoLines() = page.split(lineBreak);
    update.ParseInfo();
    for (const QString& value : {update.ProductName(), update.ProductVersion(), update.UpdateURL(),
                                 update.ClientFileName(), update.Author(), update.EMail(),
                                 update.RedirectionURL(), update.RunParameters()}) {
        if (value.size() > 254 || value.contains(QLatin1Char('"')))
            std::abort();
    }
    for (TwuVersionFormat format : {vfStandard, vfString, vfNumber}) {
        update.ProductInfo().SetVersionFormat(format);
        update.CheckedIsNewerVersion();
    }
    return 0;
}
