#pragma once

#include <QByteArray>
#include <QString>

// Pieces of JSON text exactly as QJsonDocument writes them, for files that
// list every file of a product (the vmid, the proof ledger): for 200,000
// files a document tree costs several times the text it becomes.
namespace JsonText {

// text as a JSON string, quotes included.
QByteArray quoted(const QString &text);
// The size of quoted(text), and quoted(text) appended to out, without the
// piece between: a list of 200,000 names is made at its exact size.
qsizetype quotedSize(const QString &text);
void appendQuoted(QByteArray *out, const QString &text);
// A whole number as a JSON number.
QByteArray number(qint64 value);

} // namespace JsonText
