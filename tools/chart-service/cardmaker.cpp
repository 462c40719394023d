#include "cardmaker.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cstdio>

#include "catalogue.h"
#include "kimwriter.h"

namespace {

bool writeFile(const QString &path, const QByteArray &content, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace

bool CardMaker::parseKind(const QString &text, Kind *kind)
{
    if (text == QLatin1String("rq"))
        *kind = Kind::Rq;
    else if (text == QLatin1String("velmora"))
        *kind = Kind::Velmora;
    else if (text == QLatin1String("talvo"))
        *kind = Kind::Talvo;
    else if (text == QLatin1String("blank"))
        *kind = Kind::Blank;
    else
        return false;
    return true;
}

QString CardMaker::defaultMediaId(Kind kind)
{
    switch (kind) {
    case Kind::Rq:
        return QStringLiteral("QDEMO-RQ-0001");
    case Kind::Velmora:
    case Kind::Talvo:
        return QStringLiteral("QDEMO-0001");
    case Kind::Blank:
        break;
    }
    return QStringLiteral("QBLANK-0001");
}

QString CardMaker::defaultSku(Kind kind)
{
    switch (kind) {
    case Kind::Rq:
        return QStringLiteral("  4321-1");
    case Kind::Velmora:
        return QStringLiteral("VM-ARD-01");
    case Kind::Talvo:
        return QStringLiteral("TV-SOUTH-2");
    case Kind::Blank:
        break;
    }
    return QString();
}

bool CardMaker::make(Options options, QString *error)
{
    if (options.mediaId.isEmpty())
        options.mediaId = defaultMediaId(options.kind);
    if (options.sku.isEmpty())
        options.sku = defaultSku(options.kind);
    if (!QDir().mkpath(options.dir)) {
        *error = QStringLiteral("cannot create %1").arg(options.dir);
        return false;
    }
    if (!writeFile(options.dir + QStringLiteral("/ENCRYPT.TXT"), Catalogue::encryptText(options.mediaId).toUtf8(), error))
        return false;

    switch (options.kind) {
    case Kind::Blank:
        return true;
    case Kind::Velmora:
    case Kind::Talvo: {
        const QByteArray vmid = options.sku.toUtf8() + "\r\n"
                                + QJsonDocument(QJsonObject{{QStringLiteral("files"), QJsonArray()}}).toJson();
        return writeFile(options.dir + QStringLiteral("/vmid"), vmid, error);
    }
    case Kind::Rq:
        break;
    }

    quint32 number = 0;
    quint32 suffix = 0;
    if (!KimWriter::parseSku(options.sku, &number, &suffix)) {
        *error = QStringLiteral("\"%1\" is not a chart name like \"  4321-1\"").arg(options.sku);
        return false;
    }
    KimHeaderFields fields;
    fields.sku = options.sku;
    fields.buildNumber = options.build;
    fields.buildCode = options.buildCode;
    fields.segmentSize = options.segmentSize;
    fields.flags = KimWriter::FlagQvBuild | KimWriter::FlagFinalized | KimWriter::FlagDigest;
    const QString base = options.baseName.isEmpty() ? KimWriter::segmentBaseName(options.sku) : options.baseName;
    return KimWriter::writeContainer(options.dir, base, fields, KimWriter::sampleChain(options.sku, options.mediaId),
                                     options.segmentSizes, error);
}

int CardMaker::run(const QStringList &arguments)
{
    Options options;
    QString kindText;
    QString error;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        const QString value = i + 1 < arguments.size() ? arguments.at(i + 1) : QString();
        bool ok = true;
        if (a == QLatin1String("--kind")) {
            kindText = value;
            ++i;
        } else if (a == QLatin1String("--media-id")) {
            options.mediaId = value;
            ++i;
        } else if (a == QLatin1String("--sku")) {
            options.sku = value;
            ++i;
        } else if (a == QLatin1String("--build")) {
            options.build = value.toUInt(&ok);
            ++i;
        } else if (a == QLatin1String("--build-code")) {
            options.buildCode = value.toUInt(&ok);
            ++i;
        } else if (a == QLatin1String("--segment-size")) {
            options.segmentSize = value.toULongLong(&ok);
            ++i;
        } else if (a == QLatin1String("--segment-sizes")) {
            options.segmentSizes.clear();
            for (const QString &part : value.split(QLatin1Char(','))) {
                options.segmentSizes.append(part.toLongLong(&ok));
                if (!ok)
                    break;
            }
            ++i;
        } else if (a == QLatin1String("--base")) {
            options.baseName = value;
            ++i;
        } else if (!a.startsWith(QLatin1String("--")) && options.dir.isEmpty()) {
            options.dir = a;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "make-card: bad argument %s\n", qPrintable(a));
            return 2;
        }
    }
    if (options.dir.isEmpty() || !parseKind(kindText, &options.kind)) {
        std::fprintf(stderr, "usage: make-card DIR --kind rq|velmora|talvo|blank [--media-id ID] [--sku SKU] "
                             "[--build N] [--build-code N] [--segment-size N] [--segment-sizes A,B,...] [--base NAME]\n");
        return 2;
    }
    if (!make(options, &error)) {
        std::fprintf(stderr, "make-card: %s\n", qPrintable(error));
        return 1;
    }
    return 0;
}
