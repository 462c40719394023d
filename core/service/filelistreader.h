#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Reads the JSON text of a file list in one pass, without building a
// document: a list of 200,000 records is tens of MiB of text, and its tree
// several times that. Only the fields the engine uses are kept; every other
// value is checked and skipped. It accepts exactly the texts that
// QJsonDocument::fromJson accepts (a leading byte-order mark, numbers such as
// "1." or ".5", unknown escapes standing for their character, at most 1,024
// levels of nesting; a repeated name counts with its last value), so that the
// list is refused for the same bodies as before.
class FileListReader
{
public:
    enum class Type { Missing, Null, Boolean, Number, Text, List, Object };

    struct Field
    {
        Type type = Type::Missing;
        QString text;      // Text
        QByteArray latin1; // Text, for a digest: its Latin-1 form, never made as a QString
        double number = 0; // Number
    };

    // One element of the "files" list: its fields, when it is an object.
    struct Record
    {
        bool object = false;
        Field file;
        Field size;
        Field sha1;
        Field data;
        Field etag;
    };

    // Reads body; each element of a "files" list goes to record as it is
    // read, with its place in the list. A second "files" takes the place of
    // the first: restart is called before its elements come. False when the
    // body is not a JSON object.
    bool read(const QByteArray &body, const std::function<void(int, const Record &)> &record,
              const std::function<void()> &restart);

    // The number of elements of the body's (last) "files" list, read as
    // read() would but keeping nothing: a list made at its size never holds
    // a copy of itself half again as large. -1 when read() would fail.
    static qsizetype countRecords(const QByteArray &body);

    // The fields around the list, once read() has succeeded.
    Type filesType = Type::Missing;
    Field endPoint;
    Field cdnEndPoint;
    Field subscriptionId;
    Field expiration;

private:
    enum class Key { Other, Files, EndPoint, CdnEndPoint, SubscriptionId, Expiration, File, Size, Sha1, Data, Etag };

    bool readTop();
    bool readFiles();
    bool readRecord(Record *record);
    bool readValue(Field *field, int depth, bool latin1 = false);
    bool readKey(Key *key, bool top);
    // The members of an object whose "{" was read, up to its "}": each
    // member's value is read by readMember(key), which stands at it.
    template <typename ReadMember>
    bool readMembers(bool top, ReadMember readMember);
    // The string's text into text, or its Latin-1 form into latin1.
    bool readString(QString *text, QByteArray *latin1 = nullptr);
    bool readNumber(double *number);
    bool readLiteral(const char *rest, Type type, Field *field);
    bool skipContainer(char close, int depth);
    bool eatSpace();

    bool counting = false; // records are skipped, not read
    const char *at = nullptr;
    const char *end = nullptr;
    std::function<void(int, const Record &)> onRecord;
    std::function<void()> onRestart;
};
