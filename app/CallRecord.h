#pragma once

#include <QString>

// One call notification: colon-separated text of up to seven fields.
struct CallRecord {
    QString kdo;   // caller
    QString kam;   // called party
    QString kod;   // event code; only "1" is handled
    QString typ;   // record type
    QString nazev; // caller's name, untrimmed
    QString odkaz; // CRM link
};

// Splits a call record at its colons. Fields 1 to 5 are the text between consecutive colons;
// missing fields are empty. The link is the text after the fifth colon: when that text holds
// more than one colon (a link with a port, say) it is taken whole; otherwise a single trailing
// colon is dropped ("a:b:1:3:n:link:" gives "link") and "http://x/y" stays whole.
CallRecord SplitCallRecord(const QString& text);
