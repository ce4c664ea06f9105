#include "CallRecord.h"

namespace {

// Digits followed by "/", "?", "#" or the end of the text.
bool BeginsWithPort(QStringView text) {
    qsizetype digits = 0;
    while (digits < text.size() && text[digits].isDigit() && text[digits].unicode() < 0x80)
        ++digits;
    if (digits == 0)
        return false;
    return digits == text.size() || text[digits] == u'/' || text[digits] == u'?' ||
           text[digits] == u'#';
}

// The text of `rest` before its first colon; `rest` becomes the text after it, or empty.
QStringView TakeField(QStringView& rest) {
    const qsizetype colon = rest.indexOf(u':');
    const QStringView field = colon < 0 ? rest : rest.left(colon);
    rest = colon < 0 ? QStringView() : rest.mid(colon + 1);
    return field;
}

} // namespace

CallRecord SplitCallRecord(const QString& text) {
    CallRecord record;
    QStringView rest(text);
    for (QString* field : {&record.kdo, &record.kam, &record.kod, &record.typ, &record.nazev})
        *field = TakeField(rest).toString();
    record.odkaz = TakeField(rest).toString();
    const QStringView seventh = TakeField(rest);
    if (seventh.isEmpty())
        return record;
    record.odkaz += u':' + seventh.toString();
    const QStringView eighth = TakeField(rest);
    if (BeginsWithPort(eighth))
        record.odkaz += u':' + eighth.toString();
    return record;
}
