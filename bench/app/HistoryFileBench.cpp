// Start-up and shutdown with a 1,000,000-line historie.dat (four entries per
// call), next to plain QFile reading and writing the same file in the same run.
// Saving goes through a temporary file that is synced to disk before it replaces
// the old one, so its reference is a plain write that syncs too.
#include "BenchRatios.h"
#include "RecordingDesktop.h"
#include "TextFile.h"
#include "Unit1.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <memory>
#include <unistd.h>

namespace {

constexpr int kCalls = 250000; // four lines each

QTemporaryDir& Folder() {
    static QTemporaryDir dir;
    return dir;
}

QString HistoryPath() {
    return QDir(Folder().path()).filePath(QStringLiteral("historie.dat"));
}

QStringList MakeHistory() {
    QStringList lines;
    lines.reserve(kCalls * 4);
    for (int i = 0; i < kCalls; ++i) {
        const QString t = QStringLiteral("%1.%2.26 %3:%4:%5")
                              .arg(1 + i % 28)
                              .arg(1 + i / 28 % 12)
                              .arg(i / 3600 % 24)
                              .arg(i / 60 % 60, 2, 10, QLatin1Char('0'))
                              .arg(i % 60, 2, 10, QLatin1Char('0'));
        lines << t + QStringLiteral("_kdo=420777%1").arg(100000 + i)
              << t + QStringLiteral("_nazev=Účetní oddělení %1").arg(i % 97)
              << t + QStringLiteral(
                         "_odkaz=http://crm.example/index.php?action=DetailView&record=%1")
                         .arg(i)
              << t + QStringLiteral("_cas=") + t;
    }
    return lines;
}

void Prepare() {
    static bool done = false;
    if (done)
        return;
    WriteTextFile(HistoryPath(), MakeHistory(), TTextEncoding::Locale);
    QFile ini(QDir(Folder().path()).filePath(QStringLiteral("data.ini")));
    ini.open(QIODevice::WriteOnly);
    ini.write("[pripojeni]\r\nport=0\r\njmeno=1@velora.example\r\n");
    done = true;
}

void Report(benchmark::State& state) {
    state.counters["lines"] = kCalls * 4;
    state.counters["MB"] = QFileInfo(HistoryPath()).size() / 1e6;
}

void QFileReadAll(benchmark::State& state) {
    Prepare();
    for (auto _ : state) {
        QFile file(HistoryPath());
        file.open(QIODevice::ReadOnly);
        benchmark::DoNotOptimize(file.readAll());
    }
    Report(state);
}

void QFileReadLines(benchmark::State& state) {
    Prepare();
    for (auto _ : state) {
        QFile file(HistoryPath());
        file.open(QIODevice::ReadOnly);
        QStringList lines;
        while (!file.atEnd())
            lines << QString::fromUtf8(file.readLine()).chopped(2);
        benchmark::DoNotOptimize(lines);
    }
    Report(state);
}

void LoadHistory(benchmark::State& state) {
    Prepare();
    for (auto _ : state)
        benchmark::DoNotOptimize(ReadTextFile(HistoryPath()));
    Report(state);
}

void FormCreateWithHistory(benchmark::State& state) {
    Prepare();
    for (auto _ : state) {
        TRecordingDesktop desktop;
        auto form = std::make_unique<TForm1>(desktop, Folder().path());
        benchmark::DoNotOptimize(form->history_list.Count());
        state.PauseTiming(); // the form's destruction is not start-up
        form.reset();
        state.ResumeTiming();
    }
    Report(state);
}

// The history's bytes written in one piece, the plain reference for a save;
// synced, as QSaveFile syncs.
void WriteAllAtOnce(benchmark::State& state, bool synced) {
    Prepare();
    QFile source(HistoryPath());
    source.open(QIODevice::ReadOnly);
    const QByteArray bytes = source.readAll();
    const QString target = QDir(Folder().path()).filePath(QStringLiteral("plain.dat"));
    for (auto _ : state) {
        QFile file(target);
        file.open(QIODevice::WriteOnly);
        file.write(bytes);
        if (synced) {
            file.flush();
            ::fsync(file.handle());
        }
    }
    Report(state);
}

void QFileWriteAll(benchmark::State& state) {
    WriteAllAtOnce(state, false);
}

void QFileWriteAllSynced(benchmark::State& state) {
    WriteAllAtOnce(state, true);
}

void QFileWriteLines(benchmark::State& state) {
    Prepare();
    const QStringList lines = ReadTextFile(HistoryPath()).Lines;
    const QString target = QDir(Folder().path()).filePath(QStringLiteral("plain.dat"));
    for (auto _ : state) {
        QFile file(target);
        file.open(QIODevice::WriteOnly);
        for (const QString& line : lines) {
            file.write(line.toUtf8());
            file.write("\r\n", 2);
        }
    }
    Report(state);
}

void SaveHistory(benchmark::State& state) {
    Prepare();
    const QStringList lines = ReadTextFile(HistoryPath()).Lines;
    for (auto _ : state)
        WriteTextFile(HistoryPath(), lines, TTextEncoding::Locale);
    Report(state);
}

void FormCloseWithHistory(benchmark::State& state) {
    Prepare();
    TRecordingDesktop desktop;
    TForm1 form(desktop, Folder().path());
    for (auto _ : state)
        form.FormClose();
    Report(state);
}

} // namespace

BENCHMARK(QFileReadAll)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(QFileReadLines)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(LoadHistory)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(FormCreateWithHistory)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(QFileWriteAll)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(QFileWriteAllSynced)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(QFileWriteLines)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(SaveHistory)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(FormCloseWithHistory)->Unit(benchmark::kMillisecond)->Iterations(5);

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    return RunBenchmarksWithRatios(argc, argv, [](TRatioReporter& r) {
        r.Compare("load historie.dat, s (ref: QFile reading its lines)", {"LoadHistory", ""},
                  {"QFileReadLines", ""});
        r.Compare("start-up with it, s (ref: loading it alone)", {"FormCreateWithHistory", ""},
                  {"LoadHistory", ""});
        r.Compare("save historie.dat, s (ref: plain write + fsync)", {"SaveHistory", ""},
                  {"QFileWriteAllSynced", ""});
        r.Compare("close with it, s (ref: plain write + fsync)", {"FormCloseWithHistory", ""},
                  {"QFileWriteAllSynced", ""});
    });
}
