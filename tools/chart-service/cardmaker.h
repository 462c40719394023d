#pragma once

#include <QList>
#include <QString>

// Writes the files a fishfinder's control head leaves on a card: the media
// file always, the item-number file for Velmora and Talvo cards, and for an
// RQ card a chart container of an older build with its segment files.
class CardMaker
{
public:
    enum class Kind { Rq, Velmora, Talvo, Blank };

    struct Options
    {
        QString dir;
        Kind kind = Kind::Blank;
        QString mediaId;   // default depends on the kind
        QString sku;       // default depends on the kind
        quint32 build = 5001;
        quint32 buildCode = 1000;
        quint64 segmentSize = 262144;
        QList<qint64> segmentSizes{262144, 262144, 100000};
        QString baseName;  // default derived from the sku
    };

    static bool parseKind(const QString &text, Kind *kind);
    static QString defaultMediaId(Kind kind);
    static QString defaultSku(Kind kind);

    static bool make(Options options, QString *error);
    // Command line: make-card DIR --kind K [--media-id ID] [--build N] ...
    static int run(const QStringList &arguments);
};
