// Arbitrary bytes go through the parser twice: as UTF-16 text straight into
// SetText (so lone surrogates and every code unit are reached) and as a file's
// bytes through LoadFromStream. Every tree is rendered in both modes and walked.

#include "KvXml.h"

#include <QBuffer>
#include <cstdint>
#include <cstdlib>

namespace {

void Check(bool Condition) {
    if (!Condition)
        std::abort();
}

void Exercise(TKvXML& Doc) {
    const QString Text = Doc.Text();
    const QString Display = Doc.DisplayText();
    Check(Text.isEmpty() == (Doc.Nodes().Count() == 0));
    Check(Text.isEmpty() || Text.endsWith(QStringLiteral("\r\n")));
    Check(Display.isEmpty() == Text.isEmpty());
    if (TKvXmlNode* Root = Doc.Nodes().Root()) {
        QStringList Lines;
        WriteNode(Root, false, Lines);
        Check(!Lines.isEmpty());
        // escaping in one pass must equal the five replacements made in turn
        QString Expected = Root->AsString();
        Expected.replace(u'&', QStringLiteral("&amp;"))
            .replace(u'<', QStringLiteral("&lt;"))
            .replace(u'>', QStringLiteral("&gt;"))
            .replace(u'\'', QStringLiteral("&apos;"))
            .replace(u'"', QStringLiteral("&quot;"));
        TKvXmlNode Probe;
        Probe.SetAsDisplayString(Root->AsString());
        Check(Probe.AsString() == Expected);
        for (TKvXmlNode* Child : Root->Children()) {
            Child->AsDisplayString();
            for (int I = 0; I < Child->Params().Count(); ++I)
                Child->Params().Values(Child->Params().Names(I));
        }
    }
    Doc.Nodes().Clear();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    {
        TKvXML Doc;
        Doc.SetText(QString(reinterpret_cast<const QChar*>(Data), qsizetype(Size / 2)));
        Exercise(Doc);
    }
    {
        QBuffer Buffer;
        Buffer.setData(reinterpret_cast<const char*>(Data), qsizetype(Size));
        Buffer.open(QIODevice::ReadOnly);
        TKvXML Doc;
        Doc.LoadFromStream(Buffer);
        Exercise(Doc);
    }
    return 0;
}
