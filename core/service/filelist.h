#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "service/filelistreader.h"

// One file of a product as the service describes it, after validation: what
// the engine uses of the record and nothing else, since a product may list
// hundreds of thousands of them.
struct FileRecord
{
    QString file;    // path relative to the card root, "/" between parts
    qint64 size = 0; // bytes fetched from the end point
    QByteArray sha1; // expected digest of those bytes, hexadecimal (any case)
    QByteArray data; // inline bytes that follow them on the card
    QString etag;    // entity tag the end point must answer with
};
// A list of 200,000 records grows by moving its memory, not by copying it.
Q_DECLARE_TYPEINFO(FileRecord, Q_RELOCATABLE_TYPE);

// The file list of an activation reply (a product) or of a segment-list
// reply (an RQ chart), read strictly: a reply that is not a JSON object with
// the fields the engine needs, or a single record that is not usable,
// refuses the whole list before anything on the card is touched. One parser
// for both lists, so the two cannot drift apart.
class FileList
{
public:
    enum class Kind {
        Product,  // files under the card root; never the tool's own files
        Segments, // segment files of one chart at the card root
    };

    // Sizes travel as JSON numbers: integers up to 2^53 are exact.
    static constexpr qint64 maxFileSize = qint64(1) << 53;

    // Reads a 200 reply body. On failure error receives the text for the
    // user and the list stays empty.
    bool parse(const QByteArray &body, Kind kind, QString *error);

    QList<FileRecord> records;
    QString endPoint;
    QString cdnEndPoint;
    qint64 totalBytes = 0; // sum of the sizes (inline bytes not counted)
    QString baseName;      // segments: the chart's base name ("R004321_1")
    // Of an activation: the subscription it used and when that ends (0 when
    // the reply does not say).
    int subscriptionId = 0;
    int expiration = 0;

private:
    // The place of the first record whose name was listed before; -1 when
    // every name is listed once.
    static int firstRepeat(const QList<FileRecord> &records);
    static bool readRecord(const FileListReader::Record &fields, int index, Kind kind, FileRecord *record, QString *reason,
                           QString *name);
};
