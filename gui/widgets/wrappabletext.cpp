#include "widgets/wrappabletext.h"

namespace {

// Shorter words fit any line the window and its messages have.
constexpr int longWord = 32;
constexpr int longestPiece = 24;
const QChar breakChance(0x200B);

bool isSeparator(QChar c)
{
    return c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char('_') || c == QLatin1Char('-')
           || c == QLatin1Char('.');
}

void appendWord(QString &out, const QString &word)
{
    if (word.size() <= longWord) {
        out += word;
        return;
    }
    int piece = 0;
    for (qsizetype i = 0; i < word.size(); ++i) {
        out += word.at(i);
        ++piece;
        if (i + 1 < word.size() && (isSeparator(word.at(i)) || piece >= longestPiece)) {
            out += breakChance;
            piece = 0;
        }
    }
}

} // namespace

QString wrappableText(const QString &text)
{
    QString out;
    out.reserve(text.size() + text.size() / 8);
    QString word;
    for (const QChar c : text) {
        if (c.isSpace()) {
            appendWord(out, word);
            word.clear();
            out += c;
        } else {
            word += c;
        }
    }
    appendWord(out, word);
    return out;
}
