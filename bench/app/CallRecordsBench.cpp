#include "BenchRatios.h"
#include "CallHistory.h"
#include "CallRecord.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <string>
#include <vector>

namespace {

// What the window does to the history for one handled record: four entries keyed by the time
// stamp taken once.
void AddEntries(CallHistory& history, const QString& stamp, const CallRecord& record) {
    history.SetEntry(stamp + QStringLiteral("_kdo"), record.kdo);
    history.SetEntry(stamp + QStringLiteral("_nazev"), record.nazev);
    history.SetEntry(stamp + QStringLiteral("_odkaz"), record.odkaz);
    history.SetEntry(stamp + QStringLiteral("_cas"), stamp);
}

QString Stamp(const QDateTime& when) {
    const QLocale locale = QLocale::system();
    return locale.toString(when.date(), QLocale::ShortFormat) + u' ' +
           locale.toString(when.time(), QLocale::LongFormat);
}

// The time stamp of the current second. Formatting a local time asks the platform for the
// time zone, which costs a file look-up per call here, so it is formatted once a second.
class SecondStamp {
public:
    const QString& Now() {
        const qint64 second = QDateTime::currentSecsSinceEpoch();
        if (second != FSecond) {
            FSecond = second;
            FText = Stamp(QDateTime::fromSecsSinceEpoch(second));
        }
        return FText;
    }

private:
    qint64 FSecond = -1;
    QString FText;
};

// The time stamp formatted afresh for every record, as the window does, next to
// one formatted once a second and reused.
void BM_TimeStamp(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(Stamp(QDateTime::currentDateTime()));
}
BENCHMARK(BM_TimeStamp);

void BM_TimeStampOncePerSecond(benchmark::State& state) {
    SecondStamp stamp;
    for (auto _ : state)
        benchmark::DoNotOptimize(stamp.Now());
}
BENCHMARK(BM_TimeStampOncePerSecond);

const CallRecord SampleRecord{"420111222333",
                              "420444555666",
                              "1",
                              "3",
                              QString::fromUtf8("Účetní oddělení"),
                              "http://crm.example/index.php?action=DetailView&record=15"};

// A history of `lines` lines, four per record, one record per second.
QStringList MakeHistory(int lines) {
    QStringList history;
    history.reserve(lines);
    const QDateTime start(QDate(2020, 1, 1), QTime(8, 0));
    for (int second = 0; history.size() < lines; ++second) {
        const QString stamp = Stamp(start.addSecs(second));
        history << stamp + QStringLiteral("_kdo=") + SampleRecord.kdo
                << stamp + QStringLiteral("_nazev=") + SampleRecord.nazev
                << stamp + QStringLiteral("_odkaz=") + SampleRecord.odkaz
                << stamp + QStringLiteral("_cas=") + stamp;
    }
    history.resize(lines);
    return history;
}

// Time stamps of records yet to come, none of them in the history made above.
std::vector<QString> FreshStamps(int count) {
    std::vector<QString> stamps;
    const QDateTime start(QDate(2031, 6, 1), QTime(8, 0));
    for (int i = 0; i < count; ++i)
        stamps.push_back(Stamp(start.addSecs(i)));
    return stamps;
}

// Cost of one record's four entries on a history of state.range(0) lines. Mode 0: each record
// falls in a new second (four lines appended); mode 1: each record falls in the same second as
// the one before (that record's four lines replaced in place).
void BM_HistoryEntries(benchmark::State& state) {
    constexpr int Batch = 1024;
    CallHistory history(MakeHistory(static_cast<int>(state.range(0))));
    const std::vector<QString> stamps = FreshStamps(Batch);
    const bool sameSecond = state.range(1) == 1;
    if (sameSecond)
        AddEntries(history, stamps.front(), SampleRecord);
    int next = 0;
    for (auto _ : state) {
        AddEntries(history, stamps[sameSecond ? 0 : next], SampleRecord);
        if (sameSecond || ++next < Batch)
            continue;
        next = 0;
        // Back to the starting size, so that the size measured is the one asked for.
        state.PauseTiming();
        for (auto stamp = stamps.rbegin(); stamp != stamps.rend(); ++stamp) {
            for (const char* field : {"_cas", "_odkaz", "_nazev", "_kdo"})
                history.SetEntry(*stamp + field, QString());
        }
        state.ResumeTiming();
    }
    state.counters["lines"] = history.Count();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HistoryEntries)
    ->ArgNames({"lines", "same_second"})
    ->ArgsProduct({{0, 10000, 1000000}, {0, 1}});

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return RunBenchmarksWithRatios(argc, argv, [](TRatioReporter& r) {
        r.Compare("time stamp per record, s (ref: formatted once a second)", {"BM_TimeStamp", ""},
                  {"BM_TimeStampOncePerSecond", ""});
        for (const char* mode : {"0", "1"}) {
            for (const char* lines : {"10000", "1000000"})
                r.Compare(
                    std::string("four entries, ") + lines + " lines, same second " + mode +
                        ", s (ref: 0 lines)",
                    {std::string("BM_HistoryEntries/lines:") + lines + "/same_second:" + mode, ""},
                    {std::string("BM_HistoryEntries/lines:0/same_second:") + mode, ""});
        }
    });
}
