// Arbitrary bytes through the local listener's input path, as its worker and the
// window take them: the stream cut into chunks at arbitrary points and framed into
// lines, each non-empty line decoded, split into a call record, and a handled record
// set into a call history that started from arbitrary lines, four entries per call
// as the window does.
//
// Checked: framing does not depend on where the chunks were cut and matches a plain
// split; no line is longer than the limit; decoding keeps one line one line; the
// history keeps its key rules (the first line with a key, compared without regard to
// case, holds the value set last; an empty value deletes that line), checked against
// a plain list searched from the start.

#include "CallHistory.h"
#include "CallRecord.h"
#include "LineListener.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <vector>

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

// The lines of a whole stream, split at each LF with one CR before it dropped, up to
// the first line over the limit; `usable` tells whether the stream stayed in bounds,
// counting a last unterminated line (without a CR it may still end with).
std::vector<QByteArray> PlainSplit(const QByteArray& stream, bool& usable) {
    std::vector<QByteArray> lines;
    qsizetype start = 0;
    for (;;) {
        const qsizetype lf = stream.indexOf('\n', start);
        if (lf < 0)
            break;
        QByteArray line = stream.sliced(start, lf - start);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.size() > LineFramer::MaxLineLength) {
            usable = false;
            return lines;
        }
        lines.push_back(line);
        start = lf + 1;
    }
    QByteArray pending = stream.sliced(start);
    if (pending.endsWith('\r'))
        pending.chop(1);
    usable = pending.size() <= LineFramer::MaxLineLength;
    return lines;
}

QString KeyOf(const QString& line, bool& hasKey) {
    const qsizetype equals = line.indexOf(u'=');
    hasKey = equals >= 0;
    return hasKey ? line.left(equals).toCaseFolded() : QString();
}

// SetEntry written out plainly: the first line whose key matches is replaced or
// deleted, or the entry is appended.
void PlainSetEntry(QStringList& lines, const QString& key, const QString& value) {
    const QString folded = key.toCaseFolded();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        bool hasKey = false;
        if (KeyOf(lines[i], hasKey) == folded && hasKey) {
            if (value.isEmpty())
                lines.removeAt(i);
            else
                lines[i] = key + u'=' + value;
            return;
        }
    }
    if (!value.isEmpty())
        lines << key + u'=' + value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    FuzzedDataProvider input(Data, Size);

    // A history as it may stand in historie.dat: any lines, duplicate keys, no "=".
    QStringList before;
    const int preloaded = input.ConsumeIntegralInRange<int>(0, 8);
    for (int i = 0; i < preloaded; ++i)
        before << QString::fromStdString(input.ConsumeRandomLengthString(40));
    CallHistory history(before);
    QStringList plain = before;
    Require(history.Lines() == plain);

    // The stream, fed in chunks of arbitrary sizes as recv returns them.
    LineFramer framer;
    std::vector<QByteArray> lines;
    QByteArray stream;
    bool usable = true;
    while (usable && input.remaining_bytes() > 0) {
        const size_t length = input.ConsumeIntegralInRange<size_t>(1, 4096);
        const std::string chunk = input.ConsumeBytesAsString(length);
        stream.append(chunk.data(), qsizetype(chunk.size()));
        usable = framer.Feed(QByteArrayView(chunk.data(), qsizetype(chunk.size())), lines);
    }
    bool plainUsable = true;
    const std::vector<QByteArray> expected = PlainSplit(stream, plainUsable);
    Require(usable == plainUsable);
    Require(lines == expected);

    // Each non-empty line as the window takes it, with a few time stamps so that calls
    // meet keys already in the history.
    const QString stamps[] = {QStringLiteral("10.12.26 9:05:01"),
                              QStringLiteral("10.12.26 9:05:02"),
                              QStringLiteral("10.12.26 9:05:01 #2")};
    int call = 0;
    for (const QByteArray& line : lines) {
        Require(line.size() <= LineFramer::MaxLineLength);
        Require(!line.contains('\n'));
        if (line.isEmpty())
            continue;
        const QString text = DecodeListenerLine(line);
        Require(!text.contains(u'\n'));
        Require(text.size() <= line.size());

        const CallRecord r = SplitCallRecord(text);
        for (const QString* field : {&r.kdo, &r.kam, &r.kod, &r.typ, &r.nazev})
            Require(!field->contains(u':'));
        if (r.kod != u"1")
            continue;
        const QString t = stamps[call++ % 3];
        const QString entries[][2] = {{t + QStringLiteral("_kdo"), r.kdo},
                                      {t + QStringLiteral("_nazev"), r.nazev},
                                      {t + QStringLiteral("_odkaz"), r.odkaz},
                                      {t + QStringLiteral("_cas"), t}};
        for (const auto& [key, value] : entries) {
            history.SetEntry(key, value);
            PlainSetEntry(plain, key, value);
            Require(history.Lines() == plain);
            Require(history.Count() == plain.size());
        }
    }
    return 0;
}
