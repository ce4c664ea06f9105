// Parsing and rendering typical stanzas with TKvXML, next to QXmlStreamReader
// reading the same texts, and how the cost grows with the stanzas in one text.
// The ratios are printed at the end, from the CPU times of this one run.

#include "KvXml.h"

#include <QXmlStreamReader>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <string>

namespace {

QString Presence() {
    return QStringLiteral("<presence from=\"420777123456@pbx.example/velora\" to=\"pbx.example\" "
                          "id=\"p17\"><show>chat</show><status>Online</status>"
                          "<priority>5</priority></presence>");
}

QString Message() {
    const QString Prefix =
        QStringLiteral("1:420777123456:1:2:Jan Nov&amp;k:http://crm.example/k?id=");
    const QString Body = Prefix + QString(200 - Prefix.size(), u'x');
    return QStringLiteral(
               "<message from=\"ustredna@pbx.example/srv\" to=\"420777123456@pbx.example\" "
               "type=\"chat\" id=\"m42\"><body>") +
           Body + QStringLiteral("</body></message>");
}

QString Roster() {
    QString Text =
        QStringLiteral("<iq type=\"result\" id=\"roster_1\" to=\"420777123456@pbx.example/"
                       "velora\"><query xmlns=\"jabber:iq:roster\">");
    for (int I = 0; I < 200; ++I)
        Text += QStringLiteral("<item jid=\"user%1@pbx.example\" name=\"User %1\" "
                               "subscription=\"both\"><group>Staff</group></item>")
                    .arg(I);
    return Text + QStringLiteral("</query></iq>");
}

QString Stanza(int Kind) {
    return Kind == 0 ? Presence() : Kind == 1 ? Message() : Roster();
}

const char* KindName(int Kind) {
    return Kind == 0 ? "presence" : Kind == 1 ? "message" : "roster";
}

void SetLabel(benchmark::State& State, const QString& Text) {
    State.SetLabel(KindName(int(State.range(0))));
    State.SetBytesProcessed(State.iterations() * Text.size() * 2);
}

void KvXmlParse(benchmark::State& State) {
    const QString Text = Stanza(int(State.range(0)));
    for (auto _ : State) {
        TKvXML Doc;
        Doc.SetText(Text);
        benchmark::DoNotOptimize(Doc.Nodes().Root());
    }
    SetLabel(State, Text);
}

void StreamReaderRead(benchmark::State& State) {
    const QString Text = Stanza(int(State.range(0)));
    for (auto _ : State) {
        QXmlStreamReader Reader(Text);
        while (!Reader.atEnd())
            Reader.readNext();
        benchmark::DoNotOptimize(Reader.hasError());
    }
    SetLabel(State, Text);
}

void KvXmlRender(benchmark::State& State) {
    const QString Text = Stanza(int(State.range(0)));
    TKvXML Doc;
    Doc.SetText(Text);
    for (auto _ : State)
        benchmark::DoNotOptimize(Doc.Text());
    SetLabel(State, Text);
}

// N message stanzas in one text, parsed and rendered as one document.
void KvXmlGrowth(benchmark::State& State) {
    const QString Text = Message().repeated(State.range(0));
    for (auto _ : State) {
        TKvXML Doc;
        Doc.SetText(Text);
        benchmark::DoNotOptimize(Doc.Text());
    }
    State.SetComplexityN(State.range(0));
    State.SetItemsProcessed(State.iterations() * State.range(0));
}

BENCHMARK(KvXmlParse)->DenseRange(0, 2);
BENCHMARK(StreamReaderRead)->DenseRange(0, 2);
BENCHMARK(KvXmlRender)->DenseRange(0, 2);
BENCHMARK(KvXmlGrowth)->RangeMultiplier(10)->Range(1, 1000)->Complexity(benchmark::oN);

// Keeps the time of every run besides printing it, for the ratios.
class TRecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& Runs) override {
        ConsoleReporter::ReportRuns(Runs);
        for (const Run& R : Runs)
            if (R.run_type == Run::RT_Iteration)
                Times[R.benchmark_name()] = R.GetAdjustedCPUTime();
    }
    std::map<std::string, double> Times;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    TRecordingReporter Reporter;
    benchmark::RunSpecifiedBenchmarks(&Reporter);
    auto Ratio = [&](const std::string& A, const std::string& B) {
        const auto Ia = Reporter.Times.find(A);
        const auto Ib = Reporter.Times.find(B);
        return Ia == Reporter.Times.end() || Ib == Reporter.Times.end() ? 0.0
                                                                        : Ia->second / Ib->second;
    };
    std::printf("\nratio                              presence  message   roster\n");
    std::printf("parse / QXmlStreamReader (<= 1)  ");
    for (int Kind = 0; Kind < 3; ++Kind)
        std::printf("%8.2f ", Ratio("KvXmlParse/" + std::to_string(Kind),
                                    "StreamReaderRead/" + std::to_string(Kind)));
    std::printf("\nrender / parse (<= 1)            ");
    for (int Kind = 0; Kind < 3; ++Kind)
        std::printf("%8.2f ", Ratio("KvXmlRender/" + std::to_string(Kind),
                                    "KvXmlParse/" + std::to_string(Kind)));
    std::printf("\ngrowth, time per stanza relative to 1 stanza (linear: ~1)\n");
    for (int N : {1, 10, 100, 1000})
        std::printf("  %4d stanzas: %6.2f\n", N,
                    Ratio("KvXmlGrowth/" + std::to_string(N), "KvXmlGrowth/1") / N);
    return 0;
}
