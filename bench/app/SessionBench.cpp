// How quickly the session comes back: a real ejabberd of the bench's own is killed
// and started again ten times under a logged-in window with the default backoff; the
// figure is the time from the server taking connections again to the window showing
// "online", next to the backoff step that was being waited out (the goal is at most
// that step plus one second). Also the idle cost of a logged-in window's process.
#include "PrivateEjabberd.h"
#include "RecordingDesktop.h"
#include "Unit1.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <ctime>
#include <memory>
#include <vector>

namespace {

bool Wait(const std::function<bool()>& Condition, int Ms) {
    const QDeadlineTimer deadline(Ms);
    while (!Condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return Condition();
}

double Median(std::vector<double> Samples) {
    std::sort(Samples.begin(), Samples.end());
    return Samples.empty() ? 0 : Samples[Samples.size() / 2];
}

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

struct TLoggedIn {
    TRecordingDesktop Desktop;
    QTemporaryDir Dir;
    std::unique_ptr<TForm1> Form;

    bool Online() const { return Desktop.Status[0] == QStringLiteral("online"); }
};

std::unique_ptr<TLoggedIn> LogIn(const TPrivateEjabberd& Server) {
    auto session = std::make_unique<TLoggedIn>();
    QFile ini(QDir(session->Dir.path()).filePath(QStringLiteral("data.ini")));
    ini.open(QIODevice::WriteOnly);
    ini.write(QStringLiteral("[pripojeni]\r\nport=0\r\njmeno=%1\r\nserver=127.0.0.1\r\n"
                             "domena=%2\r\nserverport=%3\r\n")
                  .arg(Server.Jid(1), Server.Domain())
                  .arg(Server.Port())
                  .toUtf8());
    ini.close();
    session->Form = std::make_unique<TForm1>(session->Desktop, session->Dir.path());
    session->Form->Timer1Timer(); // the update check's tick
    session->Desktop.Captions[TControl::Edit1] = Server.Password(1);
    session->Desktop.OnClick(TControl::Button1);
    session->Form->Timer1Timer();
    Wait([&] { return session->Online(); }, 60000);
    return session;
}

TPrivateEjabberd& Server() {
    static TPrivateEjabberd server;
    static const bool started = server.Start();
    (void)started;
    return server;
}

void BM_BackOnlineAfterRestart(benchmark::State& State) {
    TPrivateEjabberd& server = Server();
    std::vector<double> back;
    std::vector<double> steps;
    for (auto _ : State) {
        auto session = LogIn(server);
        if (!session->Online()) {
            State.SkipWithError("no login");
            return;
        }
        // Each restart starts from a fresh backoff, as after a session that stood for
        // a minute; a shorter stand keeps the bench short.
        session->Form->Reconnect.SetStableAfter(std::chrono::seconds(3));
        for (int i = 0; i < 10; ++i) {
            Wait([] { return false; }, 3500);
            server.Kill();
            Wait([&] { return !session->Online(); }, 60000);
            if (!server.Restart()) {
                State.SkipWithError("the server did not come back");
                return;
            }
            QElapsedTimer clock;
            clock.start();
            // The wait under way when the server came back is the step before the next.
            const auto step = session->Form->Reconnect.Step();
            if (!Wait([&] { return session->Online(); }, 120000)) {
                State.SkipWithError("not back online");
                return;
            }
            back.push_back(clock.elapsed() / 1000.0);
            steps.push_back(std::max(1.0, step.count() / 2000.0));
        }
    }
    State.counters["back_online_median_s"] = Median(back);
    State.counters["step_median_s"] = Median(steps);
    State.counters["back_online_max_s"] = *std::max_element(back.begin(), back.end());
}
BENCHMARK(BM_BackOnlineAfterRestart)->Iterations(1)->Unit(benchmark::kSecond);

// The whole process (window logic, XMPP client, socket worker, line listener) while
// logged in and idle for 60 s, in percent of one core.
void BM_IdleOnline(benchmark::State& State) {
    TPrivateEjabberd& server = Server();
    for (auto _ : State) {
        auto session = LogIn(server);
        if (!session->Online()) {
            State.SkipWithError("no login");
            return;
        }
        QTimer ticks; // Timer1's five-second keep-alive, as the program runs it
        QObject::connect(&ticks, &QTimer::timeout, [&] { session->Form->Timer1Timer(); });
        ticks.start(5000);
        const double cpu = ProcessCpuSeconds();
        QElapsedTimer clock;
        clock.start();
        // Sleeps in the event loop as the program does; polling here would measure
        // the bench, not the program.
        QEventLoop idle;
        QTimer::singleShot(60000, &idle, &QEventLoop::quit);
        idle.exec();
        State.counters["idle_cpu_pct"] =
            100.0 * (ProcessCpuSeconds() - cpu) / (clock.elapsed() / 1000.0);
        State.counters["still_online"] = session->Online();
    }
}
BENCHMARK(BM_IdleOnline)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
