// The history window over a history of 1,000,000 lines (250,000 calls): opening it up to its
// first paint, one keystroke in its search box, and the memory the window adds, against the
// size of the history file. References: 300 ms, 100 ms and half the file's size, in CPU time
// of the GUI thread, so that other work on the machine does not count.
#include "BenchRatios.h"
#include "CallHistory.h"
#include "CallHistoryModel.h"
#include "HistoryWindow.h"
#include "TextFile.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QTableView>
#include <benchmark/benchmark.h>
#include <ctime>
#include <memory>
#include <unistd.h>

namespace {

constexpr int kCalls = 250000;

const CallHistory& MillionLines() {
    static const CallHistory history = [] {
        const QString names[] = {QStringLiteral("Účetní oddělení"), QStringLiteral("Jana Nováková"),
                                 QStringLiteral("Petr Dvořák"), QStringLiteral("Žaneta Černá"),
                                 QStringLiteral("Recepce")};
        QStringList lines;
        lines.reserve(kCalls * 4);
        for (int i = 0; i < kCalls; ++i) {
            const QString t = QStringLiteral("%1.%2.2026 %3:%4:%5")
                                  .arg(1 + i / 86400 % 28)
                                  .arg(1 + i / 86400 / 28 % 12)
                                  .arg(i / 3600 % 24)
                                  .arg(i / 60 % 60, 2, 10, QChar(u'0'))
                                  .arg(i % 60, 2, 10, QChar(u'0'));
            lines << t + QStringLiteral("_kdo=420777%1").arg(i, 6, 10, QChar(u'0'))
                  << t + QStringLiteral("_nazev=") + names[i % 5]
                  << t + QStringLiteral("_odkaz=http://crm.example/index.php?action=DetailView"
                                        "&record=%1")
                             .arg(i)
                  << t + QStringLiteral("_cas=") + t;
        }
        return CallHistory(std::move(lines));
    }();
    return history;
}

long ResidentBytes() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    return statm.readAll().split(' ').value(1).toLong() * ::sysconf(_SC_PAGESIZE);
}

double ThreadCpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// CPU time per iteration, in milliseconds.
benchmark::Counter PerIteration(double milliseconds) {
    return benchmark::Counter(milliseconds, benchmark::Counter::kAvgIterations);
}

void Paint(THistoryWindow& window) {
    QCoreApplication::processEvents();
    window.Table->viewport()->repaint();
}

void OpenHistoryWindow(benchmark::State& state) {
    const CallHistory& history = MillionLines();
    const double fileBytes = EncodeTextFile(history.Lines(), TTextEncoding::Locale).size();
    double extra = 0;
    double cpu = 0;
    for (auto _ : state) {
        const long before = ResidentBytes();
        const double start = ThreadCpuMilliseconds();
        auto model = std::make_unique<TCallHistoryModel>(history);
        auto window = std::make_unique<THistoryWindow>(*model);
        window->show();
        Paint(*window);
        cpu += ThreadCpuMilliseconds() - start;
        extra = static_cast<double>(ResidentBytes() - before);
        state.PauseTiming();
        window.reset();
        model.reset();
        state.ResumeTiming();
    }
    state.counters["cpu_ms"] = PerIteration(cpu);
    state.counters["extra_memory_to_file"] = extra / fileBytes;
    state.counters["file_MB"] = fileBytes / 1e6;
}

void FilterKeystroke(benchmark::State& state) {
    TCallHistoryModel model(MillionLines());
    THistoryWindow window(model);
    window.show();
    Paint(window);
    // Typing "ucetn" and deleting its last letter again: each step is one keystroke.
    const QString steps[] = {QStringLiteral("ucet"), QStringLiteral("ucetn")};
    int step = 0;
    double cpu = 0;
    for (auto _ : state) {
        const double start = ThreadCpuMilliseconds();
        window.Search->setText(steps[step++ % 2]);
        Paint(window);
        cpu += ThreadCpuMilliseconds() - start;
    }
    state.counters["cpu_ms"] = PerIteration(cpu);
    state.counters["shown"] = model.rowCount();
}

// The references, as counters, so that the ratios are printed with the figures.
void Goals(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(state.iterations());
    state.counters["open_ms"] = 300;
    state.counters["keystroke_ms"] = 100;
    state.counters["extra_memory_to_file"] = 0.5;
}

} // namespace

BENCHMARK(OpenHistoryWindow)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(FilterKeystroke)->Unit(benchmark::kMillisecond);
BENCHMARK(Goals)->Iterations(1);

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    return RunBenchmarksWithRatios(argc, argv, [](TRatioReporter& r) {
        r.Compare("open to the first paint, CPU ms (ref: 300 ms)", {"OpenHistoryWindow", "cpu_ms"},
                  {"Goals", "open_ms"});
        r.Compare("one filter keystroke, CPU ms (ref: 100 ms)", {"FilterKeystroke", "cpu_ms"},
                  {"Goals", "keystroke_ms"});
        r.Compare("extra memory to the file's size (ref: 0.5)",
                  {"OpenHistoryWindow", "extra_memory_to_file"}, {"Goals", "extra_memory_to_file"});
    });
}
