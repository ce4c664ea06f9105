#include "CallRecord.h"

CallRecord SplitCallRecord(const QString& text) {
    CallRecord record;
    QString* const leading[] = {&record.kdo, &record.kam, &record.kod, &record.typ, &record.nazev};
    QStringView rest(text);
    for (QString* field : leading) {
        const qsizetype colon = rest.indexOf(u':');
        if (colon < 0) {
            // The text ran out: this field takes what is left, every later one stays empty.
            *field = rest.toString();
            return record;
        }
        *field = rest.left(colon).toString();
        rest = rest.mid(colon + 1);
    }
    // A link with a port or a further colon is kept whole. Otherwise the scheme and the rest
    // were split at the one colon and joined back, and a lone trailing colon vanishes.
    if (rest.count(u':') == 1 && rest.endsWith(u':'))
        rest.chop(1);
    record.odkaz = rest.toString();
    return record;
}
