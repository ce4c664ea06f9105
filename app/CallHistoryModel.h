#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

class CallHistory;

// Lower-case text without diacritics, for searching: "Účetní" gives "ucetni".
QString FoldForSearch(QStringView text);

// The call history as a table of calls, newest first, with the columns Čas, Volající, Jméno
// and Odkaz. A call is the lines whose keys share one time stamp T: "T_kdo", "T_nazev",
// "T_odkaz" and "T_cas"; lines of any other shape are not shown.
//
// The model reads the lines of the history it is given and never copies them: a call holds
// the positions of its lines, and for the search only its caller and name, folded. It looks
// at the history only when told to (Refresh, Reload), so the history must not lose lines
// in between.
class TCallHistoryModel : public QAbstractTableModel {
public:
    enum Column { Cas, Volajici, Jmeno, Odkaz, ColumnCount };

    explicit TCallHistoryModel(const CallHistory& history, QObject* parent = nullptr);

    // Takes in the lines added since the last look; their calls appear at the top when the
    // filter lets them through. A history that has shrunk is read anew.
    void Refresh();
    // Reads the whole history anew.
    void Reload();

    // Shows only the calls whose caller or name holds the text, compared without regard to
    // case and diacritics; blanks around the text do not count, an empty text shows all.
    void SetFilter(const QString& text);
    const QString& Filter() const { return FFilter; }

    // The number of calls in the history, whether shown or not.
    int CallCount() const { return static_cast<int>(FCalls.size()); }
    // The shown row's link and caller; empty for a row that is not there.
    QString Link(int row) const;
    QString Caller(int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    // Line positions of a call, -1 where the call has no such line, and where its folded
    // search text begins in FSearchText (it ends where the next call's begins).
    struct Call {
        int lines[ColumnCount] = {-1, -1, -1, -1};
        std::uint32_t searchBegin = 0;
    };

    // Groups the lines from `first` on into calls appended to FCalls, with their search text.
    void Scan(int first);
    // The grouping alone.
    void GroupCalls(int first);
    // Adds the calls from firstCall on that pass the filter to FShown.
    void ShowMatches(size_t firstCall);
    bool Matches(size_t call) const;
    // The value of the call's line for the column, or empty; it points into the history.
    QStringView Value(const Call& call, Column column) const;
    // FShown holds call indexes oldest first, so row r is the entry r places from the end.
    const Call* CallAt(int row) const;

    const CallHistory& FHistory;
    int FScanned = 0; // lines looked at so far
    std::vector<Call> FCalls;
    std::string FSearchText; // caller, separator, name, folded, UTF-8, for every call in turn
    std::vector<std::uint32_t> FShown;
    QString FFilter;
    std::string FNeedle; // the filter, folded, UTF-8
};
