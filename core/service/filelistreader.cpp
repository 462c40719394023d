#include "service/filelistreader.h"

#include <algorithm>
#include <cstring>

namespace {

// QJsonDocument refuses deeper texts; so must this reader.
constexpr int maxDepth = 1024;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One UTF-8 sequence at *at, checked as strictly as Qt checks it (no
// overlong forms, no surrogates, nothing past U+10FFFF); false when it is
// not one.
bool scanUtf8(const char *&at, const char *end, char32_t *code)
{
    const auto lead = uchar(*at);
    int more = 0;
    char32_t value = 0;
    char32_t least = 0;
    if (lead < 0x80) {
        *code = lead;
        ++at;
        return true;
    }
    if (lead >= 0xc2 && lead <= 0xdf) {
        more = 1;
        value = lead & 0x1f;
        least = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        more = 2;
        value = lead & 0x0f;
        least = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        more = 3;
        value = lead & 0x07;
        least = 0x10000;
    } else {
        return false;
    }
    if (end - at <= more)
        return false;
    for (int i = 1; i <= more; ++i) {
        const auto next = uchar(at[i]);
        if ((next & 0xc0) != 0x80)
            return false;
        value = (value << 6) | (next & 0x3f);
    }
    if (value < least || (value >= 0xd800 && value <= 0xdfff) || value > 0x10ffff)
        return false;
    at += more + 1;
    *code = value;
    return true;
}

void appendCode(QString *text, char32_t code)
{
    if (QChar::requiresSurrogates(code)) {
        text->append(QChar(QChar::highSurrogate(code)));
        text->append(QChar(QChar::lowSurrogate(code)));
    } else {
        text->append(QChar(char16_t(code)));
    }
}

} // namespace

bool FileListReader::read(const QByteArray &body, const std::function<void(int, const Record &)> &record,
                          const std::function<void()> &restart)
{
    at = body.constData();
    end = at + body.size();
    onRecord = record;
    onRestart = restart;
    filesType = Type::Missing;
    endPoint = cdnEndPoint = subscriptionId = expiration = Field();
    if (end - at >= 3 && std::memcmp(at, "\xef\xbb\xbf", 3) == 0)
        at += 3;
    if (!eatSpace() || *at != '{')
        return false;
    ++at;
    if (!readTop())
        return false;
    return !eatSpace();
}

qsizetype FileListReader::countRecords(const QByteArray &body)
{
    FileListReader reader;
    reader.counting = true;
    qsizetype count = 0;
    const bool read = reader.read(
        body, [&count](int index, const Record &) { count = index + 1; }, [&count] { count = 0; });
    return read ? count : -1;
}

bool FileListReader::eatSpace()
{
    while (at < end && isSpace(*at))
        ++at;
    return at < end;
}

template <typename ReadMember>
bool FileListReader::readMembers(bool top, ReadMember readMember)
{
    if (!eatSpace())
        return false;
    if (*at == '}') {
        ++at;
        return true;
    }
    for (;;) {
        if (!eatSpace() || *at != '"')
            return false;
        ++at;
        Key key = Key::Other;
        if (!readKey(&key, top))
            return false;
        if (!eatSpace() || *at != ':')
            return false;
        ++at;
        if (!eatSpace() || !readMember(key) || !eatSpace())
            return false;
        if (*at == '}') {
            ++at;
            return true;
        }
        if (*at != ',')
            return false;
        ++at;
    }
}

bool FileListReader::readTop()
{
    return readMembers(true, [this](Key key) {
        switch (key) {
        case Key::Files:
            onRestart();
            if (*at == '[') {
                ++at;
                const bool read = readFiles();
                filesType = Type::List;
                return read;
            } else {
                Field field;
                const bool read = readValue(&field, 1);
                filesType = field.type;
                return read;
            }
        case Key::EndPoint:
            return readValue(&endPoint, 1);
        case Key::CdnEndPoint:
            return readValue(&cdnEndPoint, 1);
        case Key::SubscriptionId:
            return readValue(&subscriptionId, 1);
        case Key::Expiration:
            return readValue(&expiration, 1);
        default:
            return readValue(nullptr, 1);
        }
    });
}

bool FileListReader::readFiles()
{
    // The list is the second level, its records the third.
    if (!eatSpace())
        return false;
    if (*at == ']') {
        ++at;
        return true;
    }
    Record element;
    for (int index = 0;; ++index) {
        if (!eatSpace())
            return false;
        element = Record();
        if (*at == '{' && !counting) {
            ++at;
            element.object = true;
            if (!readRecord(&element))
                return false;
        } else if (!readValue(nullptr, 2)) {
            return false;
        }
        onRecord(index, element);
        if (!eatSpace())
            return false;
        if (*at == ']') {
            ++at;
            return true;
        }
        if (*at != ',')
            return false;
        ++at;
    }
}

bool FileListReader::readRecord(Record *record)
{
    return readMembers(false, [this, record](Key key) {
        Field *field = nullptr;
        switch (key) {
        case Key::File:
            field = &record->file;
            break;
        case Key::Size:
            field = &record->size;
            break;
        case Key::Sha1:
            field = &record->sha1;
            break;
        case Key::Data:
            field = &record->data;
            break;
        case Key::Etag:
            field = &record->etag;
            break;
        default:
            break;
        }
        if (field)
            *field = Field();
        // The digest of every record is kept in Latin-1: made as a text
        // first, it would leave a hole beside each record once freed.
        return readValue(field, 3, key == Key::Sha1);
    });
}

bool FileListReader::readKey(Key *key, bool top)
{
    // Names come without escapes nearly always: compared where they lie.
    const char *start = at;
    while (at < end && *at != '"' && *at != '\\') {
        char32_t code = 0;
        if (!scanUtf8(at, end, &code))
            return false;
    }
    QByteArray name;
    if (at < end && *at == '"') {
        name = QByteArray::fromRawData(start, at - start);
        ++at;
    } else {
        at = start;
        QString text;
        if (!readString(&text))
            return false;
        name = text.toUtf8();
    }
    struct Known
    {
        const char *name;
        Key key;
        bool top;
    };
    static const Known known[] = {
        {"files", Key::Files, true},
        {"end_point", Key::EndPoint, true},
        {"cdn_end_point", Key::CdnEndPoint, true},
        {"subscription_id", Key::SubscriptionId, true},
        {"expiration", Key::Expiration, true},
        {"file", Key::File, false},
        {"size", Key::Size, false},
        {"sha1", Key::Sha1, false},
        {"data", Key::Data, false},
        {"etag", Key::Etag, false},
    };
    *key = Key::Other;
    for (const Known &candidate : known) {
        if (candidate.top == top && name == candidate.name) {
            *key = candidate.key;
            break;
        }
    }
    return true;
}

bool FileListReader::readString(QString *text, QByteArray *latin1)
{
    const char *start = at;
    bool escaped = false;
    while (at < end && *at != '"') {
        if (*at == '\\') {
            escaped = true;
            break;
        }
        char32_t code = 0;
        if (!scanUtf8(at, end, &code))
            return false;
    }
    if (!escaped) {
        if (at >= end)
            return false;
        if (text)
            *text = QString::fromUtf8(start, at - start);
        if (latin1) {
            const QByteArrayView bytes(start, at - start);
            const bool ascii = std::all_of(bytes.begin(), bytes.end(), [](char c) { return uchar(c) < 0x80; });
            *latin1 = ascii ? bytes.toByteArray() : QString::fromUtf8(bytes).toLatin1();
        }
        ++at;
        return true;
    }
    // Escapes: decoded one character at a time, as Qt does, an unknown one
    // standing for the character after the back-slash.
    at = start;
    QString decoded;
    while (at < end && *at != '"') {
        char32_t code = 0;
        if (*at == '\\') {
            if (++at >= end)
                return false;
            const auto escape = uchar(*at++);
            switch (escape) {
            case 'b':
                code = 0x8;
                break;
            case 'f':
                code = 0xc;
                break;
            case 'n':
                code = 0xa;
                break;
            case 'r':
                code = 0xd;
                break;
            case 't':
                code = 0x9;
                break;
            case 'u':
                if (end - at < 4)
                    return false;
                for (int i = 0; i < 4; ++i) {
                    const int digit = hexValue(*at++);
                    if (digit < 0)
                        return false;
                    code = (code << 4) | char32_t(digit);
                }
                break;
            default:
                code = escape;
                break;
            }
        } else if (!scanUtf8(at, end, &code)) {
            return false;
        }
        if (text || latin1)
            appendCode(&decoded, code);
    }
    if (at >= end)
        return false;
    ++at;
    if (text)
        *text = decoded;
    if (latin1)
        *latin1 = decoded.toLatin1();
    return true;
}

bool FileListReader::readNumber(double *number)
{
    // The characters Qt takes for a number; whether they are one is then
    // up to the same conversions it uses.
    const char *start = at;
    bool whole = true;
    if (at < end && *at == '-')
        ++at;
    if (at < end && *at == '0') {
        ++at;
    } else {
        while (at < end && *at >= '0' && *at <= '9')
            ++at;
    }
    if (at < end && *at == '.') {
        ++at;
        while (at < end && *at >= '0' && *at <= '9') {
            whole = whole && *at == '0';
            ++at;
        }
    }
    if (at < end && (*at == 'e' || *at == 'E')) {
        whole = false;
        ++at;
        if (at < end && (*at == '-' || *at == '+'))
            ++at;
        while (at < end && *at >= '0' && *at <= '9')
            ++at;
    }
    if (at >= end)
        return false;
    const QByteArray text = QByteArray::fromRawData(start, at - start);
    bool ok = false;
    if (whole) {
        const qlonglong value = text.toLongLong(&ok);
        if (ok) {
            *number = double(value);
            return true;
        }
    }
    *number = text.toDouble(&ok);
    return ok;
}

bool FileListReader::readLiteral(const char *rest, Type type, Field *field)
{
    const auto length = qsizetype(std::strlen(rest));
    if (end - at < length || std::memcmp(at, rest, size_t(length)) != 0)
        return false;
    at += length;
    if (field)
        field->type = type;
    return true;
}

bool FileListReader::readValue(Field *field, int depth, bool latin1)
{
    if (at >= end)
        return false;
    const char c = *at;
    if (c == '"') {
        ++at;
        if (!field)
            return readString(nullptr);
        field->type = Type::Text;
        return latin1 ? readString(nullptr, &field->latin1) : readString(&field->text);
    }
    if (c == '{' || c == '[') {
        ++at;
        if (field)
            field->type = c == '{' ? Type::Object : Type::List;
        return skipContainer(c == '{' ? '}' : ']', depth + 1);
    }
    if (c == 't') {
        ++at;
        return readLiteral("rue", Type::Boolean, field);
    }
    if (c == 'f') {
        ++at;
        return readLiteral("alse", Type::Boolean, field);
    }
    if (c == 'n') {
        ++at;
        return readLiteral("ull", Type::Null, field);
    }
    double number = 0;
    if (!readNumber(&number))
        return false;
    if (field) {
        field->type = Type::Number;
        field->number = number;
    }
    return true;
}

bool FileListReader::skipContainer(char close, int depth)
{
    if (depth > maxDepth || !eatSpace())
        return false;
    if (*at == close) {
        ++at;
        return true;
    }
    for (;;) {
        if (!eatSpace())
            return false;
        if (close == '}') {
            if (*at != '"')
                return false;
            ++at;
            if (!readString(nullptr) || !eatSpace() || *at != ':')
                return false;
            ++at;
            if (!eatSpace())
                return false;
        }
        if (!readValue(nullptr, depth) || !eatSpace())
            return false;
        if (*at == close) {
            ++at;
            return true;
        }
        if (*at != ',')
            return false;
        ++at;
    }
}
