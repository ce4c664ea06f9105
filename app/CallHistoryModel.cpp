#include "CallHistoryModel.h"

#include "CallHistory.h"

#include <QHash>
#include <QStringEncoder>
#include <algorithm>
#include <array>
#include <string_view>

namespace {

// The suffixes of a call's keys, in the order of the columns.
constexpr std::u16string_view kSuffixes[] = {u"_cas", u"_kdo", u"_nazev", u"_odkaz"};

// Folding through Unicode normalisation costs about a microsecond a name, too dear for a
// quarter of a million calls; Latin letters, which the names hold almost always, come from
// a table made once.
constexpr char16_t kTableEnd = 0x250;

// Between a call's caller and name in the search text; the filter never holds it.
constexpr char kSeparator = '\x1f';

const std::array<char16_t, kTableEnd>& FoldTable() {
    static const std::array<char16_t, kTableEnd> table = [] {
        std::array<char16_t, kTableEnd> folded{};
        for (char16_t c = 0; c < kTableEnd; ++c) {
            const QString base = QString(QChar(c)).normalized(QString::NormalizationForm_D);
            folded[c] = base.isEmpty() ? c : base.at(0).toCaseFolded().unicode();
        }
        return folded;
    }();
    return table;
}

void AppendFolded(QStringView text, QString& out) {
    const auto& table = FoldTable();
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < kTableEnd) {
            out += QChar(table[u]);
        } else if (c.category() != QChar::Mark_NonSpacing) {
            out += c.toCaseFolded();
        }
    }
}

// The folded text appended to `out` as UTF-8. Callers' numbers are plain ASCII and go
// straight through; other text is folded and encoded in one go.
void AppendFoldedUtf8(QStringView text, std::string& out) {
    if (QtPrivate::isAscii(text)) {
        const auto& table = FoldTable();
        for (const QChar c : text)
            out += static_cast<char>(table[c.unicode()]);
        return;
    }
    QString folded;
    folded.reserve(text.size());
    AppendFolded(text, folded);
    QStringEncoder encode(QStringConverter::Utf8);
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(encode.requiredSpace(folded.size())));
    char* end = encode.appendToBuffer(out.data() + at, folded);
    out.resize(static_cast<size_t>(end - out.data()));
}

std::string FoldedUtf8(QStringView text) {
    std::string folded;
    AppendFoldedUtf8(text, folded);
    return folded;
}

// The call field a key names (its column) and the call's time stamp, or false when the key
// is not one of a call's. The suffixes end in different letters, so the last one picks the
// only suffix worth comparing.
bool SplitKey(QStringView key, QStringView& stamp, int& column) {
    if (key.isEmpty())
        return false;
    const char16_t last = key.back().toCaseFolded().unicode();
    for (int i = 0; i < TCallHistoryModel::ColumnCount; ++i) {
        if (kSuffixes[i].back() != last)
            continue;
        const QStringView suffix(kSuffixes[i].data(), kSuffixes[i].size());
        if (!key.endsWith(suffix, Qt::CaseInsensitive))
            return false;
        stamp = key.chopped(suffix.size());
        column = i;
        return true;
    }
    return false;
}

// A call's time stamp with its hash, so that probing the hash compares hashes rather than
// reaching for the text of every stamp it passes.
struct Stamp {
    explicit Stamp(QStringView text) : text(text), hash(qHash(text)) {}
    QStringView text;
    size_t hash;
    friend bool operator==(const Stamp& a, const Stamp& b) {
        return a.hash == b.hash && a.text == b.text;
    }
    friend size_t qHash(const Stamp& stamp, size_t seed) { return stamp.hash ^ seed; }
};

} // namespace

QString FoldForSearch(QStringView text) {
    QString folded;
    folded.reserve(text.size());
    AppendFolded(text, folded);
    return folded;
}

TCallHistoryModel::TCallHistoryModel(const CallHistory& history, QObject* parent)
    : QAbstractTableModel(parent), FHistory(history) {
    Scan(0);
    ShowMatches(0);
}

void TCallHistoryModel::Reload() {
    beginResetModel();
    FScanned = 0;
    FCalls.clear();
    FSearchText.clear();
    FShown.clear();
    Scan(0);
    ShowMatches(0);
    endResetModel();
}

void TCallHistoryModel::Refresh() {
    if (FHistory.Count() < FScanned) {
        Reload();
        return;
    }
    const size_t firstNew = FCalls.size();
    Scan(FScanned);
    size_t added = 0;
    for (size_t call = firstNew; call < FCalls.size(); ++call)
        added += Matches(call) ? 1 : 0;
    if (added == 0)
        return;
    // The new calls are the newest: the top rows.
    beginInsertRows(QModelIndex(), 0, static_cast<int>(added) - 1);
    ShowMatches(firstNew);
    endInsertRows();
}

void TCallHistoryModel::ShowMatches(size_t firstCall) {
    for (size_t call = firstCall; call < FCalls.size(); ++call)
        if (Matches(call))
            FShown.push_back(static_cast<std::uint32_t>(call));
}

void TCallHistoryModel::Scan(int first) {
    const size_t firstNew = FCalls.size();
    GroupCalls(first);
    // After the grouping, so that the text takes the place its hash leaves.
    for (size_t c = firstNew; c < FCalls.size(); ++c) {
        FCalls[c].searchBegin = static_cast<std::uint32_t>(FSearchText.size());
        AppendFoldedUtf8(Value(FCalls[c], Volajici), FSearchText);
        FSearchText += kSeparator;
        AppendFoldedUtf8(Value(FCalls[c], Jmeno), FSearchText);
    }
}

void TCallHistoryModel::GroupCalls(int first) {
    const QStringList& lines = FHistory.Lines();
    const int count = FHistory.Count();
    const size_t firstNew = FCalls.size();
    // A call has four lines; reserving for a whole history spares the growing, while a few new
    // lines grow the vectors as usual.
    const qsizetype expected = (count - first) / 4 + 1;
    if (firstNew == 0)
        FCalls.reserve(static_cast<size_t>(expected));
    // The lines of one call normally follow each other, so the hash, which joins the lines
    // of a call that stand apart, is asked only when the stamp changes. Its views point into
    // the lines, which do not change meanwhile. It holds a call's index plus one, so that a
    // new stamp, which it holds as zero, costs one look-up.
    QHash<Stamp, size_t> callOf;
    callOf.reserve(expected);
    QStringView lastStamp;
    size_t call = 0;
    for (int i = first; i < count; ++i) {
        const QString& line = lines.at(i);
        const qsizetype equals = line.indexOf(u'=');
        QStringView stamp;
        int column = 0;
        if (equals < 0 || !SplitKey(QStringView(line).left(equals), stamp, column))
            continue;
        if (FCalls.size() == firstNew || stamp != lastStamp) {
            size_t& known = callOf[Stamp(stamp)];
            if (known == 0) {
                FCalls.emplace_back();
                known = FCalls.size();
            }
            call = known - 1;
            lastStamp = stamp;
        }
        // A later line for the same field of the same call is the one shown.
        FCalls[call].lines[column] = i;
    }
    FScanned = count;
}

bool TCallHistoryModel::Matches(size_t call) const {
    if (FNeedle.empty())
        return true;
    const size_t begin = FCalls[call].searchBegin;
    const size_t end = call + 1 < FCalls.size() ? FCalls[call + 1].searchBegin : FSearchText.size();
    return std::string_view(FSearchText).substr(begin, end - begin).find(FNeedle) !=
           std::string_view::npos;
}

void TCallHistoryModel::SetFilter(const QString& text) {
    FFilter = text;
    QString cleaned = text.trimmed();
    for (QChar& c : cleaned)
        if (c.unicode() < 0x20)
            c = u' ';
    std::string needle = FoldedUtf8(cleaned);
    if (needle == FNeedle)
        return;
    beginResetModel();
    FNeedle = std::move(needle);
    FShown.clear();
    ShowMatches(0);
    endResetModel();
}

const TCallHistoryModel::Call* TCallHistoryModel::CallAt(int row) const {
    if (row < 0 || static_cast<size_t>(row) >= FShown.size())
        return nullptr;
    return &FCalls[FShown[FShown.size() - 1 - static_cast<size_t>(row)]];
}

QStringView TCallHistoryModel::Value(const Call& call, Column column) const {
    const int line = call.lines[column];
    if (line >= 0) {
        const QString& text = FHistory.Lines().at(line);
        return QStringView(text).sliced(text.indexOf(u'=') + 1);
    }
    if (column != Cas)
        return {};
    // A call without its "_cas" line still has its time stamp in its other keys.
    for (const int other : call.lines) {
        if (other < 0)
            continue;
        const QString& text = FHistory.Lines().at(other);
        QStringView stamp;
        int ignored = 0;
        SplitKey(QStringView(text).left(text.indexOf(u'=')), stamp, ignored);
        return stamp;
    }
    return {};
}

QString TCallHistoryModel::Link(int row) const {
    const Call* call = CallAt(row);
    return call ? Value(*call, Odkaz).toString() : QString();
}

QString TCallHistoryModel::Caller(int row) const {
    const Call* call = CallAt(row);
    return call ? Value(*call, Volajici).toString() : QString();
}

int TCallHistoryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(FShown.size());
}

int TCallHistoryModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TCallHistoryModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    const Call* call = CallAt(index.row());
    if (!call || index.column() < 0 || index.column() >= ColumnCount)
        return {};
    if (role == Qt::ToolTipRole && index.column() != Odkaz)
        return {};
    return Value(*call, static_cast<Column>(index.column())).toString();
}

QVariant TCallHistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return {};
    switch (section) {
    case Cas:
        return QStringLiteral("Čas");
    case Volajici:
        return QStringLiteral("Volající");
    case Jmeno:
        return QStringLiteral("Jméno");
    case Odkaz:
        return QStringLiteral("Odkaz");
    default:
        return {};
    }
}
