// The receive path of the client (decoding, framing, parsing, dispatch to no-op
// handlers) over a stream of typical stanzas handed over in 64 KiB chunks, next to
// QXmlStreamReader reading the same chunks. Arg 1 and 16 are the stream's size in
// units of 256 stanzas; compare the time per stanza between the two sizes (linear
// cost) and between the two readers (the ratio).

#include "BenchRatios.h"
#include "Jabber.h"

#include <QByteArray>
#include <QXmlStreamReader>
#include <benchmark/benchmark.h>
#include <vector>

namespace {

constexpr int StanzasPerUnit = 256;
constexpr qsizetype ChunkSize = 64 * 1024;

class TBenchClient : public TJabberClient {
public:
    using TJabberClient::ParseData;
};

const QByteArray kHeader =
    "<?xml version='1.0'?><stream:stream id='4711' version='1.0' xml:lang='en' "
    "xmlns:stream='http://etherx.jabber.org/streams' from='localhost' xmlns='jabber:client'>";

// Presences and call-record messages with a 200-character body, alternating.
std::vector<QByteArray> Chunks(int Units) {
    const QByteArray body =
        QString(QStringLiteral("1:420777123456:420111111111:2:Jan O'Brien Nováková:"
                               "https://crm.velora.example/karta?id=4711&amp;typ=2:"))
            .leftJustified(200, u'x')
            .toUtf8();
    QByteArray stream = kHeader;
    for (int i = 0; i < Units * StanzasPerUnit; ++i) {
        if (i % 2 == 0)
            stream += "<presence xml:lang='en' to='420111111111@localhost/tolvin' "
                      "from='420222222222@localhost/tolvin'><priority>5</priority></presence>";
        else
            stream += "<message xml:lang='en' to='420111111111@localhost' "
                      "from='pbx@localhost/exchange' type='chat' id='" +
                      QByteArray::number(i) + "'><body>" + body + "</body></message>";
    }
    std::vector<QByteArray> chunks;
    for (qsizetype at = 0; at < stream.size(); at += ChunkSize)
        chunks.push_back(stream.mid(at, ChunkSize));
    return chunks;
}

qsizetype Bytes(const std::vector<QByteArray>& Chunks) {
    qsizetype total = 0;
    for (const QByteArray& c : Chunks)
        total += c.size();
    return total;
}

void BM_ParseData(benchmark::State& State) {
    const std::vector<QByteArray> chunks = Chunks(int(State.range(0)));
    qsizetype events = 0;
    for (auto _ : State) {
        TBenchClient client;
        client.OnMessage = [&](TJabberClient*, const QString&) {
            ++events;
        };
        client.OnPresence = [&](TJabberClient*, const QString&) {
            ++events;
        };
        for (const QByteArray& chunk : chunks)
            client.ParseData(chunk.constData(), uint32_t(chunk.size()));
    }
    if (events != qsizetype(State.iterations()) * State.range(0) * StanzasPerUnit)
        State.SkipWithError("not every stanza was dispatched");
    State.SetItemsProcessed(State.iterations() * State.range(0) * StanzasPerUnit);
    State.SetBytesProcessed(State.iterations() * Bytes(chunks));
}

void BM_QXmlStreamReader(benchmark::State& State) {
    const std::vector<QByteArray> chunks = Chunks(int(State.range(0)));
    qsizetype stanzas = 0;
    for (auto _ : State) {
        QXmlStreamReader reader;
        int depth = 0;
        for (const QByteArray& chunk : chunks) {
            reader.addData(chunk);
            while (!reader.atEnd()) {
                const QXmlStreamReader::TokenType token = reader.readNext();
                if (token == QXmlStreamReader::StartElement)
                    ++depth;
                else if (token == QXmlStreamReader::EndElement && --depth == 1)
                    ++stanzas;
                else if (token == QXmlStreamReader::Invalid)
                    break;
            }
        }
    }
    if (stanzas != qsizetype(State.iterations()) * State.range(0) * StanzasPerUnit)
        State.SkipWithError("QXmlStreamReader did not read every stanza");
    State.SetItemsProcessed(State.iterations() * State.range(0) * StanzasPerUnit);
    State.SetBytesProcessed(State.iterations() * Bytes(chunks));
}

BENCHMARK(BM_ParseData)->Arg(1)->Arg(16)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_QXmlStreamReader)->Arg(1)->Arg(16)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    return RunBenchmarksWithRatios(argc, argv, [](TRatioReporter& r) {
        r.Compare("receive path, 256 stanzas, s (ref: QXmlStreamReader)", {"BM_ParseData/1", ""},
                  {"BM_QXmlStreamReader/1", ""});
        r.Compare("receive path, 4096 stanzas, s (ref: QXmlStreamReader)", {"BM_ParseData/16", ""},
                  {"BM_QXmlStreamReader/16", ""});
        r.Compare("time per stanza, 4096 against 256 stanzas (linear: ~1)", {"BM_ParseData/16", ""},
                  {"BM_ParseData/1", ""}, 1.0 / 16);
    });
}
