#include "catalogue.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include "contentgenerator.h"
#include "kimwriter.h"

namespace {

const QString mediaSeparator = QStringLiteral("-----Trelmarkholding---media---001-----");

QJsonObject readJsonFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return {};
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!document.isObject()) {
        *error = QStringLiteral("%1: %2").arg(path, parseError.errorString());
        return {};
    }
    return document.object();
}

quint64 pseudoRandom(quint64 &state)
{
    state += 0x9e3779b97f4a7c15ULL;
    quint64 z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

CatalogueFile makeFile(const CatalogueProduct &product, const QString &name, quint64 size, const QByteArray &data,
                       qint64 mtime)
{
    CatalogueFile file;
    file.file = name;
    file.size = size;
    file.data = data;
    file.key = QStringLiteral("%1|%2|%3").arg(product.sku, QString::number(product.buildNumber), name);
    // Changes whenever the content does: a new build gives new tags.
    file.etag = QString::number(ContentGenerator::hashKey((file.key + QLatin1Char('|') + QString::number(size)).toUtf8()), 16)
                    .rightJustified(16, QLatin1Char('0'));
    file.mtime = mtime;
    return file;
}

} // namespace

QString Catalogue::mediaIdFromDeviceId(const QString &deviceId)
{
    const QStringList fields = deviceId.split(mediaSeparator);
    if (fields.size() != 3)
        return QString();
    return fields.at(1).simplified();
}

QString Catalogue::encryptText(const QString &mediaId)
{
    return QStringLiteral("CVN-HEAD-7Q2") + mediaSeparator + QStringLiteral("  ") + mediaId + QStringLiteral(" ")
           + mediaSeparator + QStringLiteral("SDHC-8GB");
}

bool Catalogue::load(const QString &path, QString *error)
{
    const QJsonObject root = readJsonFile(path, error);
    if (root.isEmpty())
        return false;

    std::lock_guard<std::mutex> lock(m_mutex);
    for (const QJsonValue &value : root.value(QStringLiteral("accounts")).toArray()) {
        const QJsonObject o = value.toObject();
        CatalogueAccount account;
        account.email = o.value(QStringLiteral("email")).toString().toLower();
        account.password = o.value(QStringLiteral("password")).toString();
        account.status = o.value(QStringLiteral("status")).toString(QStringLiteral("active"));
        m_accounts.insert(account.email, account);
    }

    for (const QJsonValue &value : root.value(QStringLiteral("products")).toArray()) {
        const QJsonObject o = value.toObject();
        CatalogueProduct p;
        p.productId = o.value(QStringLiteral("product_id")).toInt();
        p.type = o.value(QStringLiteral("type")).toString();
        p.name = o.value(QStringLiteral("name")).toString();
        p.sku = o.value(QStringLiteral("sku")).toString();
        p.buildNumber = o.value(QStringLiteral("build_number")).toInt();
        p.buildCode = o.value(QStringLiteral("build_code")).toInt();
        p.byline = o.value(QStringLiteral("byline")).toString();
        p.description = o.value(QStringLiteral("description")).toString();
        p.lakeListUrl = o.value(QStringLiteral("lake_list_url")).toString();
        const qint64 mtime = o.value(QStringLiteral("mtime")).toInteger(1700000000);
        if (m_byId.contains(p.productId) || m_bySku.contains(p.sku)) {
            *error = QStringLiteral("%1: product %2 (%3) defined twice").arg(path, QString::number(p.productId), p.sku);
            return false;
        }
        if (p.type == QLatin1String("rq_sd")) {
            quint32 number = 0;
            quint32 suffix = 0;
            if (!KimWriter::parseSku(p.sku, &number, &suffix)) {
                *error = QStringLiteral("%1: RQ sku \"%2\" is not a chart name").arg(path, p.sku);
                return false;
            }
        }

        for (const QJsonValue &image : o.value(QStringLiteral("images")).toArray()) {
            const QJsonObject io = image.toObject();
            CatalogueImage ci;
            ci.type = io.value(QStringLiteral("type")).toString(QStringLiteral("image"));
            ci.width = io.value(QStringLiteral("width")).toInt(240);
            ci.height = io.value(QStringLiteral("height")).toInt(160);
            ci.rgb = io.value(QStringLiteral("rgb")).toString(QStringLiteral("3070a0")).toUInt(nullptr, 16);
            p.images.append(ci);
        }

        for (const QJsonValue &fv : o.value(QStringLiteral("files")).toArray()) {
            const QJsonObject fo = fv.toObject();
            QByteArray data = QByteArray::fromBase64(fo.value(QStringLiteral("data")).toString().toLatin1());
            if (fo.contains(QStringLiteral("data_text")))
                data = fo.value(QStringLiteral("data_text")).toString().toUtf8();
            p.files.append(makeFile(p, fo.value(QStringLiteral("file")).toString(),
                                    quint64(fo.value(QStringLiteral("size")).toInteger()), data, mtime));
        }

        // Many files of varied sizes without listing each one.
        const QJsonObject gen = o.value(QStringLiteral("generate")).toObject();
        if (!gen.isEmpty()) {
            const int count = gen.value(QStringLiteral("count")).toInt();
            const quint64 minSize = quint64(gen.value(QStringLiteral("min_size")).toInteger(4096));
            const quint64 maxSize = quint64(gen.value(QStringLiteral("max_size")).toInteger(qint64(minSize)));
            const QString folder = gen.value(QStringLiteral("folder")).toString();
            const QString pattern = gen.value(QStringLiteral("pattern")).toString(QStringLiteral("%1.dat"));
            // A product of many thousands of files spreads them over
            // sub-folders ("d001", "d002", ...) of this many each.
            const int perFolder = gen.value(QStringLiteral("per_folder")).toInt();
            // Or one file in each folder of a chain ("d/d/d/..."): the i-th
            // file lies i folders deep.
            const bool chain = gen.value(QStringLiteral("chain")).toBool();
            quint64 state = ContentGenerator::hashKey(p.sku.toUtf8());
            p.files.reserve(p.files.size() + count);
            for (int i = 0; i < count; ++i) {
                const quint64 size = maxSize > minSize ? minSize + pseudoRandom(state) % (maxSize - minSize + 1) : minSize;
                QString name = folder + QLatin1Char('/');
                if (perFolder > 0)
                    name += QStringLiteral("d%1/").arg(i / perFolder + 1, 3, 10, QLatin1Char('0'));
                if (chain)
                    name += QStringLiteral("d/").repeated(i);
                name += pattern.arg(i + 1, 4, 10, QLatin1Char('0'));
                p.files.append(makeFile(p, name, size, QByteArray(), mtime));
            }
        }

        // RQ products: the segment files of the newest build.
        if (p.type == QLatin1String("rq_sd")) {
            p.segmentSize = quint64(o.value(QStringLiteral("segment_size")).toInteger(262144));
            const QString base = KimWriter::segmentBaseName(p.sku);
            int index = 1;
            for (const QJsonValue &sv : o.value(QStringLiteral("segment_sizes")).toArray()) {
                const QString name = base + QLatin1Char('.') + KimWriter::segmentExtension(index++);
                p.files.append(makeFile(p, name, quint64(sv.toInteger()), QByteArray(), mtime));
            }
        }

        qint64 total = 0;
        for (int i = 0; i < p.files.size(); ++i) {
            p.fileIndex.insert(p.files.at(i).file, i);
            total += qint64(p.files.at(i).size) + p.files.at(i).data.size();
        }
        p.sizeInKb = o.contains(QStringLiteral("size_in_kb")) ? o.value(QStringLiteral("size_in_kb")).toInt()
                                                              : int(total / 1024);
        m_byId.insert(p.productId, int(m_products.size()));
        m_bySku.insert(p.sku, int(m_products.size()));
        m_products.append(p);
    }

    for (const QJsonValue &value : root.value(QStringLiteral("subscriptions")).toArray()) {
        const QJsonObject o = value.toObject();
        CatalogueSubscription s;
        s.subscriptionId = o.value(QStringLiteral("subscription_id")).toInt();
        s.account = o.value(QStringLiteral("account")).toString().toLower();
        s.productId = o.value(QStringLiteral("product_id")).toInt();
        s.expiration = o.value(QStringLiteral("expiration")).toInteger(1924992000);
        const QString mediaId = o.value(QStringLiteral("media_id")).toString();
        s.deviceId = mediaId.isEmpty() ? o.value(QStringLiteral("device_id")).toString() : encryptText(mediaId);
        const QString drm = o.value(QStringLiteral("drm")).toString();
        if (drm == QLatin1String("card")) {
            // The chart-data blocks that the card maker writes onto this card.
            const auto it = m_byId.constFind(s.productId);
            if (it != m_byId.constEnd())
                s.drm = KimWriter::drmBytes(KimWriter::sampleChain(m_products.at(*it).sku, mediaIdFromDeviceId(s.deviceId)));
        } else {
            s.drm = QByteArray::fromBase64(drm.toLatin1());
        }
        m_subscriptions.append(s);
    }

    if (root.contains(QStringLiteral("firmware")))
        m_firmware = root.value(QStringLiteral("firmware")).toObject();
    return true;
}

bool Catalogue::loadState(const QString &statePath, QString *error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_statePath = statePath;
    if (!QFile::exists(statePath))
        return true;
    const QJsonObject root = readJsonFile(statePath, error);
    if (root.isEmpty() && !error->isEmpty())
        return false;
    const QJsonObject bindings = root.value(QStringLiteral("bindings")).toObject();
    for (CatalogueSubscription &s : m_subscriptions) {
        const QString key = QString::number(s.subscriptionId);
        if (!bindings.contains(key))
            continue;
        const QJsonObject b = bindings.value(key).toObject();
        s.deviceId = b.value(QStringLiteral("device_id")).toString();
        s.drm = QByteArray::fromBase64(b.value(QStringLiteral("drm")).toString().toLatin1());
    }
    return true;
}

void Catalogue::setHashCachePath(const QString &path)
{
    std::lock_guard<std::mutex> lock(m_hashMutex);
    m_hashCachePath = path;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonObject cached = QJsonDocument::fromJson(file.readAll()).object();
    for (auto it = cached.begin(); it != cached.end(); ++it)
        m_hashes.insert(it.key(), it.value().toString().toLatin1());
}

void Catalogue::saveStateLocked()
{
    if (m_statePath.isEmpty())
        return;
    QJsonObject bindings;
    for (const CatalogueSubscription &s : m_subscriptions) {
        QJsonObject b;
        b.insert(QStringLiteral("device_id"), s.deviceId);
        b.insert(QStringLiteral("drm"), QString::fromLatin1(s.drm.toBase64()));
        bindings.insert(QString::number(s.subscriptionId), b);
    }
    QSaveFile file(m_statePath);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(QJsonObject{{QStringLiteral("bindings"), bindings}}).toJson());
        file.commit();
    }
}

void Catalogue::saveHashCacheLocked()
{
    if (m_hashCachePath.isEmpty())
        return;
    QJsonObject cached;
    for (auto it = m_hashes.cbegin(); it != m_hashes.cend(); ++it)
        cached.insert(it.key(), QString::fromLatin1(it.value()));
    QSaveFile file(m_hashCachePath);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(cached).toJson(QJsonDocument::Compact));
        file.commit();
    }
}

const CatalogueProduct *Catalogue::productById(int productId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_byId.constFind(productId);
    return it == m_byId.constEnd() ? nullptr : &m_products.at(*it);
}

const CatalogueProduct *Catalogue::productBySku(const QString &sku) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_bySku.constFind(sku);
    return it == m_bySku.constEnd() ? nullptr : &m_products.at(*it);
}

QList<const CatalogueProduct *> Catalogue::products() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QList<const CatalogueProduct *> result;
    for (const CatalogueProduct &p : m_products)
        result.append(&p);
    return result;
}

const CatalogueFile *Catalogue::file(int productId, const QString &name) const
{
    const CatalogueProduct *product = productById(productId);
    if (!product)
        return nullptr;
    const auto it = product->fileIndex.constFind(name);
    return it == product->fileIndex.constEnd() ? nullptr : &product->files.at(*it);
}

const CatalogueAccount *Catalogue::account(const QString &email) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_accounts.constFind(email.toLower());
    return it == m_accounts.constEnd() ? nullptr : &*it;
}

QByteArray Catalogue::sha1(const CatalogueFile &file)
{
    const QString cacheKey = QStringLiteral("v%1|%2|%3").arg(QString::number(ContentGenerator::Version), file.key, QString::number(file.size));
    {
        std::lock_guard<std::mutex> lock(m_hashMutex);
        const auto it = m_hashes.constFind(cacheKey);
        if (it != m_hashes.constEnd())
            return *it;
    }
    // Hashed outside the lock: a gigabyte takes seconds, and other files'
    // hashes must not wait for it.
    const QByteArray digest = ContentGenerator(file.key).sha1Hex(file.size);
    std::lock_guard<std::mutex> lock(m_hashMutex);
    m_hashes.insert(cacheKey, digest);
    if (file.size >= 16 * 1024 * 1024)
        saveHashCacheLocked();
    return digest;
}

QJsonObject Catalogue::record(const CatalogueProduct &, const CatalogueFile &file)
{
    QJsonObject r;
    r.insert(QStringLiteral("file"), file.file);
    r.insert(QStringLiteral("size"), double(file.size));
    r.insert(QStringLiteral("sha1"), QString::fromLatin1(sha1(file)));
    r.insert(QStringLiteral("etag"), file.etag);
    r.insert(QStringLiteral("mtime"), double(file.mtime));
    if (!file.data.isEmpty() || file.size == 0)
        r.insert(QStringLiteral("data"), QString::fromLatin1(file.data.toBase64()));
    return r;
}

QList<CatalogueSubscription> Catalogue::subscriptions(const QString &account, const QString &productType) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QList<CatalogueSubscription> result;
    for (const CatalogueSubscription &s : m_subscriptions) {
        const auto it = m_byId.constFind(s.productId);
        if (s.account == account && it != m_byId.constEnd() && m_products.at(*it).type == productType)
            result.append(s);
    }
    return result;
}

Catalogue::BindResult Catalogue::bind(const QString &account, int productId, const QString &deviceId,
                                      const QByteArray &drm, CatalogueSubscription *result)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const QString mediaId = mediaIdFromDeviceId(deviceId);
    CatalogueSubscription *free = nullptr;
    for (CatalogueSubscription &s : m_subscriptions) {
        if (s.account != account || s.productId != productId)
            continue;
        if (!mediaId.isEmpty() && mediaIdFromDeviceId(s.deviceId) == mediaId) {
            if (!drm.isEmpty() && s.drm != drm) {
                s.drm = drm;
                saveStateLocked();
            }
            *result = s;
            return BindResult::AlreadyBound;
        }
        if (!free && mediaIdFromDeviceId(s.deviceId).isEmpty())
            free = &s;
    }
    if (!free)
        return BindResult::NoneFree;
    free->deviceId = deviceId;
    if (!drm.isEmpty())
        free->drm = drm;
    saveStateLocked();
    *result = *free;
    return BindResult::Bound;
}

QJsonObject Catalogue::firmware() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_firmware;
}

void Catalogue::setFirmware(const QJsonObject &firmware)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = firmware.begin(); it != firmware.end(); ++it)
        m_firmware.insert(it.key(), it.value());
}
