#pragma once

#include <QString>

// One call notification: colon-separated text of up to eight fields.
struct CallRecord {
    QString kdo;   // caller
    QString kam;   // called party
    QString kod;   // event code; only "1" is handled
    QString typ;   // record type
    QString nazev; // caller's name, untrimmed
    QString odkaz; // CRM link
};

// Splits a call record at its colons. Fields 1 to 6 are the text between consecutive colons,
// field 7 the text up to the seventh colon, field 8 the text up to the eighth; missing fields
// are empty. The link is field 6, joined with ":" and field 7 when that is not empty (a
// scheme and the rest of a link: "http" and "//x/y"), and then with ":" and field 8 when that
// begins with a port: digits followed by "/", "?", "#" or nothing ("http://crm:8080/x").
// Anything after is dropped, so "http://x/y:" and "http://crm:8080/a:extra" lose their
// trailing ":" and ":extra".
CallRecord SplitCallRecord(const QString& text);
