// The record handler's cost as the history grows (it is never pruned): the
// same record handled with 0, 10,000 and 1,000,000 lines already in the history.
#include "BenchRatios.h"
#include "CallHistory.h"
#include "RecordingDesktop.h"
#include "Unit1.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

namespace {

QStringList History(int lines) {
    QStringList history;
    history.reserve(lines);
    for (int i = 0; i < lines; ++i)
        history << QStringLiteral("%1.1.26 8:%2:%3_kdo=420777%4")
                       .arg(1 + i / 4 / 3600 % 28)
                       .arg(i / 4 / 60 % 60)
                       .arg(i / 4 % 60)
                       .arg(i % 4);
    return history;
}

void Nacti(benchmark::State& state) {
    QTemporaryDir dir;
    QFile ini(QDir(dir.path()).filePath(QStringLiteral("data.ini")));
    ini.open(QIODevice::WriteOnly);
    ini.write("[pripojeni]\r\nport=0\r\njmeno=1@velora.example\r\n");
    ini.close();
    TRecordingDesktop desktop;
    TForm1 form(desktop, dir.path());
    form.history_list = CallHistory(History(static_cast<int>(state.range(0))));
    // Every record a second later than the one before: four new lines each.
    QDateTime clock(QDate(2026, 12, 10), QTime(9, 0, 0));
    form.Now = [&clock] {
        return clock = clock.addSecs(1);
    };
    const QString record =
        QStringLiteral("420777123456:222:1:3:Účetní oddělení:"
                       "http://crm.example:8080/index.php?action=DetailView&record=15");
    for (auto _ : state) {
        form.nacti(record);
        if (desktop.Balloons.size() > 4096) {
            state.PauseTiming();
            desktop.Balloons.clear();
            state.ResumeTiming();
        }
    }
    state.counters["lines_at_end"] = form.history_list.Count();
}

} // namespace

BENCHMARK(Nacti)->Arg(0)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    return RunBenchmarksWithRatios(argc, argv, [](TRatioReporter& r) {
        r.Compare("one record, 10,000 lines of history, s (ref: empty history)",
                  {"Nacti/10000", ""}, {"Nacti/0", ""});
        r.Compare("one record, 1,000,000 lines of history, s (ref: empty history)",
                  {"Nacti/1000000", ""}, {"Nacti/0", ""});
    });
}
