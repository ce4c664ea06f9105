#include "CallHistory.h"

#include <algorithm>
#include <optional>

namespace {

// Deleted ids kept before the ids are renumbered; bounds the search in Position.
constexpr size_t MaxDeleted = 4096;

// Case folding through the Unicode tables is the dearest step of SetEntry, and keys are time
// stamps: plain ASCII, usually without a capital, so that the text is shared rather than copied.
QString Folded(const QString& text) {
    if (!QtPrivate::isAscii(text))
        return text.toCaseFolded();
    QString folded = text;
    for (qsizetype i = 0; i < folded.size(); ++i) {
        const char16_t c = folded.at(i).unicode();
        if (c >= u'A' && c <= u'Z')
            folded[i] = QChar(c - u'A' + u'a');
    }
    return folded;
}

// The case-folded text before the first "=" of a line; none when the line holds no "=".
std::optional<QString> FoldedKeyOf(const QString& line) {
    const qsizetype equals = line.indexOf(u'=');
    if (equals < 0)
        return std::nullopt;
    return Folded(line.left(equals));
}

} // namespace

CallHistory::IndexKey::IndexKey(QString key) : folded(std::move(key)), hash(qHash(folded)) {}

CallHistory::CallHistory(QStringList lines) : FLines(std::move(lines)) {
    // Last line seen so far for each key held by more than one line.
    QHash<IndexKey, LineId> lastOfDuplicate;
    for (qsizetype i = 0; i < FLines.size(); ++i) {
        std::optional<QString> folded = FoldedKeyOf(FLines[i]);
        if (!folded)
            continue;
        IndexKey key(std::move(*folded));
        const auto first = FFirst.constFind(key);
        if (first == FFirst.cend()) {
            FFirst.insert(std::move(key), i);
            continue;
        }
        auto last = lastOfDuplicate.find(key);
        if (last == lastOfDuplicate.end())
            last = lastOfDuplicate.insert(key, *first);
        FNextSame.insert(*last, i);
        *last = i;
    }
}

bool CallHistory::HasKey(const QString& key) const {
    return FFirst.contains(IndexKey(Folded(key)));
}

QString CallHistory::UniqueCallKey(const QString& stamp) const {
    const auto taken = [this](const QString& stem) {
        for (const char16_t* suffix : {u"_kdo", u"_nazev", u"_odkaz", u"_cas"})
            if (HasKey(stem + QString::fromUtf16(suffix)))
                return true;
        return false;
    };
    QString stem = stamp;
    for (int n = 2; taken(stem); ++n)
        stem = stamp + QStringLiteral(" #") + QString::number(n);
    return stem;
}

void CallHistory::SetEntry(const QString& key, const QString& rawValue) {
    QString value = rawValue;
    for (QChar& c : value)
        if (c.unicode() < 0x20)
            c = u' ';
    IndexKey folded(Folded(key));
    const auto found = FFirst.find(folded);
    if (value.isEmpty()) {
        if (found != FFirst.end())
            Delete(found);
    } else if (found != FFirst.end()) {
        FLines[Position(*found)] = key + u'=' + value;
    } else {
        Append(std::move(folded), key + u'=' + value);
    }
}

qsizetype CallHistory::Position(LineId id) const {
    if (FDeleted.empty())
        return static_cast<qsizetype>(id);
    const auto deletedBefore = std::lower_bound(FDeleted.begin(), FDeleted.end(), id);
    return static_cast<qsizetype>(id) - (deletedBefore - FDeleted.begin());
}

void CallHistory::Delete(QHash<IndexKey, LineId>::iterator first) {
    const LineId id = *first;
    FLines.removeAt(Position(id));
    FDeleted.insert(std::lower_bound(FDeleted.begin(), FDeleted.end(), id), id);
    // Ids deleted above every remaining line shift nothing and may be given out again.
    while (!FDeleted.empty() && FDeleted.back() == FLines.size() + FDeleted.size() - 1)
        FDeleted.pop_back();
    const auto next = FNextSame.constFind(id);
    if (next == FNextSame.cend()) {
        FFirst.erase(first);
    } else {
        *first = *next;
        FNextSame.erase(next);
    }
    if (FDeleted.size() > MaxDeleted)
        Renumber();
}

void CallHistory::Append(IndexKey key, QString line) {
    // Every deleted id is below the new one, so its position is the new last line.
    const LineId id = FLines.size() + FDeleted.size();
    // Only the text before the first "=" is the line's key: a key holding "=" itself matched
    // no line, yet earlier lines may share the new line's key.
    if (key.folded.contains(u'='))
        key = IndexKey(*FoldedKeyOf(line));
    const auto first = FFirst.constFind(key);
    if (first == FFirst.cend()) {
        FFirst.insert(std::move(key), id);
    } else {
        LineId last = *first;
        for (auto next = FNextSame.constFind(last); next != FNextSame.cend();
             next = FNextSame.constFind(last))
            last = *next;
        FNextSame.insert(last, id);
    }
    FLines.append(std::move(line));
}

void CallHistory::Renumber() {
    for (LineId& id : FFirst)
        id = Position(id);
    QHash<LineId, LineId> nextSame;
    nextSame.reserve(FNextSame.size());
    for (auto it = FNextSame.cbegin(); it != FNextSame.cend(); ++it)
        nextSame.insert(Position(it.key()), Position(it.value()));
    FNextSame = std::move(nextSame);
    FDeleted.clear();
}

namespace {

// The format without its time-zone fields ("t" to "tttt"), quoted text left alone.
QString WithoutTimeZone(const QString& format) {
    QString result;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == u'\'')
            quoted = !quoted;
        if (quoted || c != u't')
            result += c;
    }
    return result.simplified();
}

// "yy" standing alone becomes "yyyy"; quoted text is left alone.
QString WithFourDigitYear(const QString& format) {
    QString result;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size();) {
        if (format[i] == u'\'')
            quoted = !quoted;
        if (quoted || format[i] != u'y') {
            result += format[i++];
            continue;
        }
        qsizetype run = 0;
        while (i + run < format.size() && format[i + run] == u'y')
            ++run;
        result += run == 2 ? QStringLiteral("yyyy") : format.mid(i, run);
        i += run;
    }
    return result;
}

} // namespace

QString CallTimeStamp(const QDateTime& when, const QLocale& locale) {
    return locale.toString(when.date(),
                           WithFourDigitYear(locale.dateFormat(QLocale::ShortFormat))) +
           u' ' +
           locale.toString(when.time(), WithoutTimeZone(locale.timeFormat(QLocale::LongFormat)));
}
