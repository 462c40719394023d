#include "chartservice.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QtEndian>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "catalogue.h"
#include "contentgenerator.h"
#include "kimwriter.h"
#include "pngimage.h"
#include "requestlog.h"
#include "service/deploymentdata.h"

namespace {

const QString productTypes[] = {QStringLiteral("rq_sd"), QStringLiteral("velmora_region"), QStringLiteral("talvos")};

QByteArray xorHalves(const unsigned char *a, const unsigned char *b)
{
    QByteArray result(20, '\0');
    for (int i = 0; i < 20; ++i)
        result[i] = char(a[i] ^ b[i]);
    return result;
}

QString expectedApiKey()
{
    return QString::fromLatin1(xorHalves(DeploymentData::apiKeyA, DeploymentData::apiKeyB).toHex());
}

QString passwordSalt()
{
    return QString::fromLatin1(xorHalves(DeploymentData::saltA, DeploymentData::saltB).toHex());
}

const Fault *findFault(const QList<Fault> &faults, const char *kind)
{
    for (const Fault &fault : faults) {
        if (fault.kind == QLatin1String(kind))
            return &fault;
    }
    return nullptr;
}

void sleepSeconds(double seconds)
{
    if (seconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(qint64(seconds * 1000)));
}

// A chain the tool sends as "drm" must at least be a walkable chain that
// holds the required block; anything else is refused like a real service
// refuses a card it cannot register.
bool plausibleChain(const QByteArray &drm)
{
    qint64 position = 0;
    bool required = false;
    for (int guard = 0; guard < 10000 && position + 8 <= drm.size(); ++guard) {
        const uchar *p = reinterpret_cast<const uchar *>(drm.constData() + position);
        const quint16 type = quint16(p[0] | (p[1] << 8));
        const quint8 flags = p[2];
        const qint32 length = qint32(quint32(p[4]) | (quint32(p[5]) << 8) | (quint32(p[6]) << 16) | (quint32(p[7]) << 24));
        if (length < 0)
            return false;
        const int headerLength = 8 + ((flags & 0x04) ? 0 : 8) + ((flags & 0x20) ? 16 : 0);
        if (type == KimWriter::RequiredBlockType)
            required = true;
        position += headerLength + length + ((flags & 0x02) ? 20 : 0);
    }
    return required && position == drm.size();
}

} // namespace

ChartService::ChartService(Catalogue &catalogue, FaultSet &faults, RequestLog &log, int threads)
    : m_catalogue(catalogue)
    , m_faults(faults)
    , m_log(log)
    , m_threads(threads)
{
}

ChartService::~ChartService()
{
    stop();
}

void ChartService::configure(httplib::Server &server, int threads)
{
    // Stalls and throttles hold a worker each; a generous pool keeps the
    // other transfers of a product moving meanwhile.
    const int poolSize = qMax(4, threads);
    server.new_task_queue = [poolSize] { return new httplib::ThreadPool(std::size_t(poolSize)); };
    server.set_keep_alive_max_count(1000);
    server.set_keep_alive_timeout(30);
    server.set_read_timeout(30);
    server.set_write_timeout(60);
    server.set_tcp_nodelay(true);
    // Every request the tool sends is a small JSON object; a body beyond
    // this is refused before it is read into memory.
    server.set_payload_max_length(16 * 1024 * 1024);

    // One catch-all route per method: the service does its own dispatch, so
    // paths with doubled slashes or leading blanks reach it untouched.
    const char *everything = "[\\s\\S]*";
    auto handler = [this](const httplib::Request &request, httplib::Response &response) { handle(request, response); };
    server.Get(everything, handler);
    server.Post(everything, handler);
    server.Delete(everything, handler);
    server.Put(everything, handler);
}

int ChartService::add(std::unique_ptr<httplib::Server> server, int port, const char *scheme, int threads)
{
    configure(*server, threads);
    const int bound = port == 0 ? server->bind_to_any_port("127.0.0.1")
                                : (server->bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound <= 0)
        return -1;
    const QString base = QStringLiteral("%1://127.0.0.1:%2").arg(QLatin1String(scheme)).arg(bound);
    m_bases.insert(bound, base);
    if (m_servers.empty())
        m_baseUrl = base;
    m_servers.push_back(std::move(server));
    return bound;
}

int ChartService::bind(int port)
{
    return add(std::make_unique<httplib::Server>(), port, "http", m_threads);
}

QString ChartService::bindTls(int port, X509 *certificate, EVP_PKEY *key, int threads)
{
    auto server = std::make_unique<httplib::SSLServer>(certificate, key);
    if (!server->is_valid())
        return QString();
    const int bound = add(std::move(server), port, "https", threads < 0 ? m_threads : threads);
    return bound > 0 ? m_bases.value(bound) : QString();
}

QString ChartService::baseFor(const httplib::Request &request) const
{
    // Links in a reply (end points, pictures, files) lead back over the
    // protocol and port the request came in on; behind a front server (the
    // bench's HTTP/2 proxy) that is the front's, which it says it is.
    const std::string forwarded = request.get_header_value("X-Forwarded-Base");
    if (!forwarded.empty())
        return QString::fromStdString(forwarded);
    return m_bases.value(request.local_port, m_baseUrl);
}

bool ChartService::listen()
{
    if (m_servers.empty())
        return false;
    std::vector<std::thread> others;
    for (std::size_t i = 1; i < m_servers.size(); ++i)
        others.emplace_back([server = m_servers.at(i).get()] { server->listen_after_bind(); });
    const bool ok = m_servers.front()->listen_after_bind();
    stop();
    for (std::thread &thread : others)
        thread.join();
    return ok;
}

void ChartService::stop()
{
    for (const auto &server : m_servers)
        server->stop();
}

ChartService::Reply ChartService::jsonReply(const QJsonObject &object, int status)
{
    Reply reply;
    reply.status = status;
    reply.json = true;
    reply.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return reply;
}

ChartService::Reply ChartService::errorReply(int status, const QString &message, const QString &error)
{
    return jsonReply(QJsonObject{{QStringLiteral("message"), message}, {QStringLiteral("error"), error}}, status);
}

void ChartService::logRequest(const httplib::Request &request, const QString &path)
{
    QJsonObject headers;
    for (const auto &header : request.headers)
        headers.insert(QString::fromStdString(header.first), QString::fromStdString(header.second));
    QJsonObject entry{
        {QStringLiteral("method"), QString::fromStdString(request.method)},
        {QStringLiteral("path"), path},
        {QStringLiteral("target"), QString::fromStdString(request.target)},
        {QStringLiteral("headers"), headers},
        {QStringLiteral("time"), double(QDateTime::currentMSecsSinceEpoch())},
    };
    if (!request.body.empty()) {
        const QByteArray raw = QByteArray::fromStdString(request.body);
        const QJsonDocument document = QJsonDocument::fromJson(raw);
        if (document.isObject())
            entry.insert(QStringLiteral("json"), document.object());
        entry.insert(QStringLiteral("body"), QString::fromUtf8(raw.left(64 * 1024)));
    }
    m_log.append(entry);
}

void ChartService::handle(const httplib::Request &request, httplib::Response &response)
{
    const QString path = QString::fromStdString(request.path);
    if (path.startsWith(QLatin1String("/_control/"))) {
        handleControl(request, response, path);
        return;
    }
    logRequest(request, path);
    const QList<Fault> faults = m_faults.take(QString::fromStdString(request.method), path, request.has_header("Range"));

    if (const Fault *stall = findFault(faults, "stall")) {
        if (!stall->params.contains(QStringLiteral("bytes")))
            sleepSeconds(stall->params.value(QStringLiteral("seconds")).toDouble(5));
    }
    // Sent elsewhere: by default to the very same address, again and again.
    if (const Fault *redirect = findFault(faults, "redirect")) {
        response.status = redirect->params.value(QStringLiteral("status")).toInt(302);
        response.set_header("Location", redirect->params.value(QStringLiteral("location"))
                                            .toString(QString::fromStdString(request.target))
                                            .toStdString());
        response.set_content(std::string(), "text/plain");
        return;
    }

    Reply reply;
    if (const Fault *status = findFault(faults, "status")) {
        reply = errorReply(status->params.value(QStringLiteral("status")).toInt(500),
                           status->params.value(QStringLiteral("message")).toString(QStringLiteral("Internal Server Error")),
                           status->params.value(QStringLiteral("error")).toString(QStringLiteral("injected")));
    } else {
        reply = route(request, path, faults, baseFor(request));
    }

    if (reply.json && reply.status == 200) {
        if (const Fault *pad = findFault(faults, "pad_reply")) {
            // Still a JSON object, only far larger: the padding is a field
            // no client reads.
            const qint64 bytes = qint64(pad->params.value(QStringLiteral("bytes")).toDouble(65 * 1024 * 1024));
            reply.body.chop(reply.body.size() - reply.body.lastIndexOf('}'));
            reply.body += ",\"padding\":\"" + QByteArray(bytes, 'x') + "\"}";
        }
    }
    if (reply.json && findFault(faults, "non_json")) {
        reply.body = "<html><body><h1>502 Bad Gateway</h1></body></html>";
        reply.contentType = "text/html";
    } else if (reply.json && findFault(faults, "truncated_json")) {
        reply.body.truncate(reply.body.size() / 2);
    }
    send(request, response, reply, faults);
}

ChartService::Reply ChartService::route(const httplib::Request &request, const QString &path,
                                        const QList<Fault> &faults, const QString &base)
{
    if (request.method == "POST") {
        if (!path.startsWith(QLatin1String("/api/")))
            return errorReply(404, QStringLiteral("Not found"), QStringLiteral("not_found"));
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(request.body));
        if (!document.isObject())
            return errorReply(400, QStringLiteral("The request body is not a JSON object."), QStringLiteral("bad_request"));
        return post(path, document.object(), faults, base);
    }
    if (request.method == "GET" || request.method == "HEAD") {
        if (path == QLatin1String("/firmware_versions"))
            return firmwareVersions(base);
        if (path.startsWith(QLatin1String("/origin/")) || path.startsWith(QLatin1String("/cdn/")))
            return fileReply(path);
        if (path.startsWith(QLatin1String("/images/")))
            return imageReply(path);
    }
    return errorReply(404, QStringLiteral("Not found"), QStringLiteral("not_found"));
}

ChartService::Reply ChartService::post(const QString &path, const QJsonObject &body, const QList<Fault> &faults,
                                       const QString &base)
{
    const QString segments = QStringLiteral("/api/smn/GetSegments/");
    const QString header = QStringLiteral("/api/smn/HeaderUpdate/");
    const bool known = path == QLatin1String("/api/session/Login") || path == QLatin1String("/api/smn/GetAllProducts")
                       || path == QLatin1String("/api/smn//GetSubscriptions")
                       || path == QLatin1String("/api/smn/GetProductInfo")
                       || path == QLatin1String("/api/smn/ActivateProduct") || path.startsWith(segments)
                       || path.startsWith(header);
    if (!known)
        return errorReply(404, QStringLiteral("No such endpoint."), QStringLiteral("not_found"));
    if (body.value(QStringLiteral("api_key")).toString() != expectedApiKey())
        return errorReply(401, QStringLiteral("This application is not authorised to use the chart service."),
                          QStringLiteral("invalid_api_key"));

    if (path == QLatin1String("/api/session/Login"))
        return login(body);
    if (path == QLatin1String("/api/smn/GetAllProducts"))
        return getAllProducts();
    if (path == QLatin1String("/api/smn//GetSubscriptions"))
        return getSubscriptions(body);
    if (path == QLatin1String("/api/smn/GetProductInfo"))
        return getProductInfo(body, base);
    if (path == QLatin1String("/api/smn/ActivateProduct"))
        return activateProduct(body, faults, base);
    if (path.startsWith(segments))
        return getSegments(path.mid(segments.size()), faults, base);
    return headerUpdate(path.mid(header.size()), faults);
}

ChartService::Reply ChartService::login(const QJsonObject &body)
{
    if (!body.value(QStringLiteral("email")).isString() || !body.value(QStringLiteral("password")).isString())
        return errorReply(400, QStringLiteral("E-mail and password are required."), QStringLiteral("bad_request"));
    const QString email = body.value(QStringLiteral("email")).toString();
    const CatalogueAccount *account = m_catalogue.account(email);
    if (!account)
        return errorReply(401, QStringLiteral("No account is registered with this e-mail address."),
                          QStringLiteral("user_not_found"));
    const QByteArray expected =
        QCryptographicHash::hash((account->password + passwordSalt()).toUtf8(), QCryptographicHash::Sha1).toHex();
    if (body.value(QStringLiteral("password")).toString().toLatin1() != expected)
        return errorReply(401, QStringLiteral("The password is not correct."), QStringLiteral("wrong_password"));
    if (account->status != QLatin1String("active"))
        return errorReply(403, QStringLiteral("This account is locked. Follow the link in your e-mail to unlock it."),
                          QStringLiteral("account_not_active"));

    quint32 random[4];
    QRandomGenerator::system()->fillRange(random);
    const QString session = QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(random), sizeof random).toHex());
    {
        std::lock_guard<std::mutex> lock(m_sessionMutex);
        m_sessions.insert(session, account->email);
    }
    return jsonReply({{QStringLiteral("session_id"), session}, {QStringLiteral("email"), account->email}});
}

QString ChartService::accountOf(const QJsonObject &body) const
{
    std::lock_guard<std::mutex> lock(m_sessionMutex);
    return m_sessions.value(body.value(QStringLiteral("session_id")).toString());
}

ChartService::Reply ChartService::getAllProducts()
{
    QJsonObject lines;
    for (const QString &type : productTypes)
        lines.insert(type, QJsonObject());
    for (const CatalogueProduct *p : m_catalogue.products()) {
        QJsonObject o{
            {QStringLiteral("product_id"), p->productId},
            {QStringLiteral("name"), p->name},
            {QStringLiteral("sku"), p->sku},
            {QStringLiteral("size_in_kb"), p->sizeInKb},
        };
        if (p->type == QLatin1String("rq_sd")) {
            o.insert(QStringLiteral("build_number"), p->buildNumber);
            o.insert(QStringLiteral("build_code"), p->buildCode);
        }
        QJsonObject line = lines.value(p->type).toObject();
        line.insert(QString::number(p->productId), o);
        lines.insert(p->type, line);
    }
    return jsonReply(lines);
}

ChartService::Reply ChartService::getSubscriptions(const QJsonObject &body)
{
    const QString account = accountOf(body);
    if (account.isEmpty())
        return errorReply(401, QStringLiteral("Your session has expired. Please sign in again."),
                          QStringLiteral("invalid_session"));
    const QString type = body.value(QStringLiteral("product_type")).toString();
    if (type != productTypes[0] && type != productTypes[1] && type != productTypes[2])
        return errorReply(400, QStringLiteral("Unknown product type."), QStringLiteral("bad_request"));
    QJsonObject result;
    for (const CatalogueSubscription &s : m_catalogue.subscriptions(account, type)) {
        result.insert(QString::number(s.subscriptionId), QJsonObject{
                                                             {QStringLiteral("product_id"), s.productId},
                                                             {QStringLiteral("device_id"), s.deviceId},
                                                             {QStringLiteral("expiration"), double(s.expiration)},
                                                             {QStringLiteral("drm"), QString::fromLatin1(s.drm.toBase64())},
                                                         });
    }
    return jsonReply(result);
}

ChartService::Reply ChartService::getProductInfo(const QJsonObject &body, const QString &base)
{
    const CatalogueProduct *product = m_catalogue.productBySku(body.value(QStringLiteral("sku")).toString());
    if (!product)
        return errorReply(404, QStringLiteral("Unknown product."), QStringLiteral("product_not_found"));
    QJsonArray images;
    for (int i = 0; i < product->images.size(); ++i) {
        images.append(QJsonObject{
            {QStringLiteral("url"), QStringLiteral("%1/images/%2/%3.png").arg(base).arg(product->productId).arg(i)},
            {QStringLiteral("type"), product->images.at(i).type},
        });
    }
    QJsonObject info{
        {QStringLiteral("type"), product->type},
        {QStringLiteral("name"), product->name},
        {QStringLiteral("sku"), product->sku},
        {QStringLiteral("images"), images},
        {QStringLiteral("byline"), product->byline},
        {QStringLiteral("description"), product->description},
    };
    if (!product->lakeListUrl.isEmpty())
        info.insert(QStringLiteral("lake_list_url"), product->lakeListUrl);
    return jsonReply(info);
}

QString ChartService::endPoint(const CatalogueProduct &product, bool cdn, const QString &base)
{
    return QStringLiteral("%1/%2/%3/").arg(base, cdn ? QStringLiteral("cdn") : QStringLiteral("origin")).arg(product.productId);
}

QByteArray ChartService::listReply(const CatalogueProduct &product, const QList<Fault> &faults,
                                   QJsonObject fields)
{
    // The records go into the text as they are: a list of 200,000 files
    // built as one JSON tree costs the service seconds and hundreds of MiB
    // on every activation.
    fields.insert(QStringLiteral("files"), QJsonArray());
    QByteArray body = QJsonDocument(fields).toJson(QJsonDocument::Compact);
    const QByteArray placeholder = "\"files\":[]";
    body.replace(body.indexOf(placeholder), placeholder.size(), "\"files\":" + fileRecords(product, faults));
    return body;
}

QByteArray ChartService::plainRecords(const CatalogueProduct &product)
{
    {
        std::lock_guard<std::mutex> lock(m_recordsMutex);
        const auto it = m_plainRecords.constFind(product.productId);
        if (it != m_plainRecords.constEnd())
            return *it;
    }
    // The first activation of a big product hashes every file; both cores
    // share that work so the reply comes in half the time.
    std::atomic<int> next{0};
    auto worker = [&] {
        for (int i = next++; i < product.files.size(); i = next++)
            m_catalogue.sha1(product.files.at(i));
    };
    std::thread helper(worker);
    worker();
    helper.join();

    QByteArray text = "[";
    for (const CatalogueFile &file : product.files) {
        if (text.size() > 1)
            text += ',';
        text += QJsonDocument(m_catalogue.record(product, file)).toJson(QJsonDocument::Compact);
    }
    text += ']';
    std::lock_guard<std::mutex> lock(m_recordsMutex);
    m_plainRecords.insert(product.productId, text);
    return text;
}

QByteArray ChartService::fileRecords(const CatalogueProduct &product, const QList<Fault> &faults)
{
    const Fault *fields = findFault(faults, "record_fields");
    const Fault *unsafe = findFault(faults, "unsafe_paths");
    if (!fields && !unsafe)
        return plainRecords(product);

    QJsonArray records = QJsonDocument::fromJson(plainRecords(product)).array();
    if (fields) {
        // Records as a broken service might send them: fields replaced, a
        // size off by some bytes, records the product does not have.
        const QRegularExpression match =
            FaultSet::wildcard(fields->params.value(QStringLiteral("file")).toString(QStringLiteral("*")));
        const QJsonObject set = fields->params.value(QStringLiteral("set")).toObject();
        const double delta = fields->params.value(QStringLiteral("size_delta")).toDouble();
        for (int i = 0; i < records.size(); ++i) {
            QJsonObject record = records.at(i).toObject();
            if (!match.match(record.value(QStringLiteral("file")).toString()).hasMatch())
                continue;
            for (auto it = set.constBegin(); it != set.constEnd(); ++it)
                record.insert(it.key(), it.value());
            if (delta != 0)
                record.insert(QStringLiteral("size"), record.value(QStringLiteral("size")).toDouble() + delta);
            records.replace(i, record);
        }
        for (const QJsonValue &extra : fields->params.value(QStringLiteral("add")).toArray())
            records.append(extra);
    }

    if (unsafe) {
        QStringList paths;
        for (const QJsonValue &value : unsafe->params.value(QStringLiteral("paths")).toArray())
            paths.append(value.toString());
        if (paths.isEmpty())
            paths = {QStringLiteral("../x"), QStringLiteral("/abs"), QStringLiteral("a/../../x"), QStringLiteral("a\\..\\..\\x")};
        for (const QString &path : paths) {
            const QByteArray content = ContentGenerator(QStringLiteral("unsafe|") + path).bytes(0, 64);
            records.append(QJsonObject{
                {QStringLiteral("file"), path},
                {QStringLiteral("size"), 64},
                {QStringLiteral("sha1"), QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex())},
                {QStringLiteral("etag"), QStringLiteral("unsafe")},
                {QStringLiteral("mtime"), 1700000000},
            });
        }
    }
    return QJsonDocument(records).toJson(QJsonDocument::Compact);
}

ChartService::Reply ChartService::activateProduct(const QJsonObject &body, const QList<Fault> &faults,
                                                  const QString &base)
{
    const QString account = accountOf(body);
    if (account.isEmpty())
        return errorReply(401, QStringLiteral("Your session has expired. Please sign in again."),
                          QStringLiteral("invalid_session"));
    const CatalogueProduct *product = m_catalogue.productBySku(body.value(QStringLiteral("sku")).toString());
    if (!product)
        return errorReply(404, QStringLiteral("Unknown product."), QStringLiteral("product_not_found"));
    const QString deviceId = body.value(QStringLiteral("device_id")).toString();
    if (Catalogue::mediaIdFromDeviceId(deviceId).isEmpty())
        return errorReply(400, QStringLiteral("The card's media file is not valid."), QStringLiteral("invalid_device"));

    QByteArray drm;
    if (product->type == QLatin1String("rq_sd")) {
        drm = QByteArray::fromBase64(body.value(QStringLiteral("drm")).toString().toLatin1());
        if (!plausibleChain(drm))
            return errorReply(400, QStringLiteral("Invalid Chart Data"), QStringLiteral("invalid_drm"));
    }

    CatalogueSubscription subscription;
    if (m_catalogue.bind(account, product->productId, deviceId, drm, &subscription) == Catalogue::BindResult::NoneFree)
        return errorReply(403,
                          QStringLiteral("No subscription of %1 is available for this card: every one is in use on "
                                         "another card.").arg(product->name),
                          QStringLiteral("no_subscription"));

    Reply reply;
    reply.json = true;
    reply.body = listReply(*product, faults,
                           {
                               {QStringLiteral("end_point"), endPoint(*product, false, base)},
                               {QStringLiteral("cdn_end_point"), endPoint(*product, true, base)},
                               {QStringLiteral("subscription_id"), subscription.subscriptionId},
                               {QStringLiteral("expiration"), double(subscription.expiration)},
                           });
    return reply;
}

ChartService::Reply ChartService::getSegments(const QString &chartName, const QList<Fault> &faults,
                                              const QString &base)
{
    const CatalogueProduct *product = m_catalogue.productBySku(chartName);
    if (!product || product->type != QLatin1String("rq_sd"))
        return errorReply(404, QStringLiteral("No chart named \"%1\".").arg(chartName), QStringLiteral("chart_not_found"));
    Reply reply;
    reply.json = true;
    reply.body = listReply(*product, faults,
                           {
                               {QStringLiteral("end_point"), endPoint(*product, false, base)},
                               {QStringLiteral("cdn_end_point"), endPoint(*product, true, base)},
                           });
    return reply;
}

ChartService::Reply ChartService::headerUpdate(const QString &name, const QList<Fault> &faults)
{
    const CatalogueProduct *product = m_catalogue.productBySku(name);
    if (!product || product->type != QLatin1String("rq_sd"))
        return errorReply(404, QStringLiteral("No chart named \"%1\".").arg(name), QStringLiteral("chart_not_found"));
    KimHeaderFields fields;
    fields.sku = product->sku;
    fields.buildNumber = quint32(product->buildNumber);
    fields.buildCode = quint32(product->buildCode);
    fields.segmentSize = product->segmentSize;
    fields.flags = KimWriter::FlagQvBuild;
    fields.kimFileSize = KimWriter::HeaderSize;

    // A header the tool must refuse or survive: another chart, an older
    // build, no service flag, a lying length, a short body.
    const Fault *odd = findFault(faults, "header_fields");
    if (odd) {
        const QJsonObject &p = odd->params;
        fields.sku = p.value(QStringLiteral("sku")).toString(fields.sku);
        fields.buildNumber = quint32(p.value(QStringLiteral("build_number")).toInteger(fields.buildNumber));
        fields.buildCode = quint32(p.value(QStringLiteral("build_code")).toInteger(fields.buildCode));
        fields.chartVersion = quint32(p.value(QStringLiteral("chart_version")).toInteger(fields.chartVersion));
        fields.flags = quint64(p.value(QStringLiteral("flags")).toInteger(qint64(fields.flags)));
    }
    Reply reply;
    reply.contentType = "application/octet-stream";
    reply.body = KimWriter::header(fields);
    if (odd) {
        const QJsonObject &p = odd->params;
        if (p.contains(QStringLiteral("header_size")))
            qToLittleEndian<quint64>(quint64(p.value(QStringLiteral("header_size")).toInteger()), reply.body.data() + 8);
        if (p.contains(QStringLiteral("length")))
            reply.body.truncate(qMax(0, p.value(QStringLiteral("length")).toInt()));
    }
    return reply;
}

ChartService::Reply ChartService::firmwareVersions(const QString &base)
{
    const QJsonObject firmware = m_catalogue.firmware();
    QJsonObject tool{
        {QStringLiteral("latest_version"), firmware.value(QStringLiteral("latest_version")).toString(QStringLiteral("2.760"))},
        {QStringLiteral("macos_download_url"),
         firmware.value(QStringLiteral("macos_download_url")).toString(base + QStringLiteral("/downloads/tool.dmg"))},
    };
    return jsonReply({{QStringLiteral("desktop"), QJsonObject{{QStringLiteral("download_tool"), tool}}}});
}

const CatalogueFile *ChartService::fileForPath(const QString &path, int *productId) const
{
    // /origin/<product id>/<file> and /cdn/<product id>/<file>
    const int idStart = path.indexOf(QLatin1Char('/'), 1) + 1;
    const int idEnd = path.indexOf(QLatin1Char('/'), idStart);
    if (idStart <= 0 || idEnd < 0)
        return nullptr;
    bool ok = false;
    const int id = path.mid(idStart, idEnd - idStart).toInt(&ok);
    if (!ok)
        return nullptr;
    if (productId)
        *productId = id;
    return m_catalogue.file(id, path.mid(idEnd + 1));
}

ChartService::Reply ChartService::fileReply(const QString &path)
{
    const CatalogueFile *file = fileForPath(path);
    if (!file)
        return errorReply(404, QStringLiteral("Not found"), QStringLiteral("not_found"));
    Reply reply;
    reply.contentType = "application/octet-stream";
    reply.file = file;
    reply.etag = file->etag;
    return reply;
}

ChartService::Reply ChartService::imageReply(const QString &path)
{
    const QStringList parts = path.split(QLatin1Char('/'));
    if (parts.size() == 4 && parts.at(3).endsWith(QLatin1String(".png"))) {
        bool okId = false;
        bool okIndex = false;
        const int id = parts.at(2).toInt(&okId);
        const int index = parts.at(3).chopped(4).toInt(&okIndex);
        const CatalogueProduct *product = okId ? m_catalogue.productById(id) : nullptr;
        if (product && okIndex && index >= 0 && index < product->images.size()) {
            const CatalogueImage &image = product->images.at(index);
            Reply reply;
            reply.contentType = "image/png";
            reply.body = PngImage::striped(image.width, image.height, image.rgb, quint32(id * 31 + index));
            return reply;
        }
    }
    return errorReply(404, QStringLiteral("Not found"), QStringLiteral("not_found"));
}

void ChartService::send(const httplib::Request &request, httplib::Response &response, const Reply &reply,
                        const QList<Fault> &faults)
{
    // httplib would apply the request's Range on top of whatever the handler
    // produced; ranges are this service's business (and its faults'), so the
    // library's copy is dropped. The request object is not const where it lives.
    const_cast<httplib::Request &>(request).ranges.clear();

    for (const auto &header : reply.headers)
        response.set_header(header.first.toStdString(), header.second.toStdString());
    // The raw bytes labelled as coded: a client that lets its stack decode
    // them gets garbage or an error, never the answer.
    if (const Fault *coded = findFault(faults, "content_encoding"))
        response.set_header("Content-Encoding",
                            coded->params.value(QStringLiteral("encoding")).toString(QStringLiteral("gzip")).toStdString());

    quint64 total = quint64(reply.body.size());
    quint64 start = 0;
    quint64 length = total;
    int status = reply.status;

    if (reply.file) {
        total = reply.file->size;
        length = total;
        const Fault *wrongEtag = findFault(faults, "wrong_etag");
        // The default stand-in shares no text with the real tag: a client
        // that looks for its tag inside the header must not find it.
        const QString otherTag = QString::number(ContentGenerator::hashKey((reply.etag + QStringLiteral("|changed")).toUtf8()), 16);
        const QString etag = wrongEtag ? wrongEtag->params.value(QStringLiteral("etag")).toString(otherTag) : reply.etag;
        response.set_header("ETag", ('"' + etag + '"').toStdString());
        response.set_header("Accept-Ranges", "bytes");
        response.set_header("Last-Modified",
                            QDateTime::fromSecsSinceEpoch(reply.file->mtime, Qt::UTC)
                                .toString(QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
                                .toStdString());

        const std::string rangeHeader = request.get_header_value("Range");
        if (!rangeHeader.empty() && !findFault(faults, "ignore_range")) {
            // Single ranges only; anything else is answered with the whole
            // file, which HTTP allows.
            const QString rangeText = QString::fromStdString(rangeHeader).trimmed();
            if (rangeText.startsWith(QLatin1String("bytes=")) && !rangeText.contains(QLatin1Char(','))) {
                const QString value = rangeText.mid(6);
                const int dash = value.indexOf(QLatin1Char('-'));
                bool okFirst = false;
                bool okLast = false;
                const quint64 first = value.left(dash).toULongLong(&okFirst);
                const quint64 last = value.mid(dash + 1).toULongLong(&okLast);
                const bool suffixForm = dash == 0 && okLast;
                const bool valid = dash >= 0 && (suffixForm || (okFirst && (value.mid(dash + 1).isEmpty() || (okLast && last >= first))));
                if (valid) {
                    if (suffixForm) {
                        start = last >= total ? 0 : total - last;
                        length = total - start;
                    } else {
                        start = first;
                        length = value.mid(dash + 1).isEmpty() ? total - qMin(first, total)
                                                               : qMin(last, total - 1) - first + 1;
                    }
                    if (start >= total || (suffixForm && last == 0)) {
                        response.status = 416;
                        response.set_header("Content-Range", "bytes */" + std::to_string(total));
                        response.set_content(std::string(), "application/octet-stream");
                        return;
                    }
                    status = 206;
                    bool labelled = !findFault(faults, "omit_content_range");
                    if (const Fault *wrongStart = findFault(faults, "wrong_range_start")) {
                        // Other bytes than asked for, labelled honestly: a
                        // client that trusts its own offset instead of the
                        // Content-Range writes them in the wrong place.
                        const qint64 end = qint64(start + length);
                        const qint64 moved = qint64(start) + wrongStart->params.value(QStringLiteral("shift")).toInteger(1);
                        start = quint64(qBound(qint64(0), moved, end - 1));
                        length = quint64(end) - start;
                    }
                    if (const Fault *shortRange = findFault(faults, "short_no_content_range")) {
                        // Fewer bytes than asked and nothing to say so but
                        // the length: only a client that counts notices.
                        status = shortRange->params.value(QStringLiteral("status")).toInt(206);
                        length = quint64(qBound(qint64(0), shortRange->params.value(QStringLiteral("bytes")).toInteger(qint64(length / 2)),
                                                qint64(length) - 1));
                        labelled = false;
                    }
                    if (labelled)
                        response.set_header("Content-Range", "bytes " + std::to_string(start) + '-'
                                                                 + std::to_string(start + length - 1) + '/'
                                                                 + std::to_string(total));
                }
            }
        }
    }

    // What is sent may differ from what the headers above describe:
    // dataLength bytes of content, then (extra_byte) one byte too many.
    quint64 dataLength = length;
    quint64 sentLength = length;
    if (const Fault *shortBody = findFault(faults, "short_body")) {
        // An honest Content-Length for a body shorter than the file or range,
        // and a clean end: no transport error tells the client anything.
        dataLength = sentLength = quint64(qBound(qint64(0), shortBody->params.value(QStringLiteral("bytes")).toInteger(qint64(length / 2)),
                                                 qMax(qint64(0), qint64(length) - 1)));
        response.set_header("Connection", "close");
    }
    if (findFault(faults, "extra_byte"))
        sentLength = dataLength + 1;

    response.status = status;
    if (request.method == "HEAD" || sentLength == 0) {
        response.set_header("Content-Length", std::to_string(sentLength));
        response.set_content(std::string(), reply.contentType);
        return;
    }

    const Fault *closeAfter = findFault(faults, "close_after");
    const Fault *stall = findFault(faults, "stall");
    const Fault *throttle = findFault(faults, "throttle");
    const Fault *corrupt = findFault(faults, "corrupt");

    struct Plan
    {
        const CatalogueFile *file = nullptr;
        QByteArray body;
        quint64 start = 0;
        quint64 dataLength = 0;
        qint64 closeAfter = -1;
        qint64 stallAt = -1;
        double stallSeconds = 0;
        double bytesPerSecond = 0;
        qint64 corruptAt = -1; // absolute offset in the file
        std::chrono::steady_clock::time_point began;
    };
    auto plan = std::make_shared<Plan>();
    plan->file = reply.file;
    plan->body = reply.body;
    plan->start = start;
    plan->dataLength = dataLength;
    if (closeAfter)
        plan->closeAfter = closeAfter->params.value(QStringLiteral("bytes")).toInteger(0);
    if (stall && stall->params.contains(QStringLiteral("bytes"))) {
        plan->stallAt = stall->params.value(QStringLiteral("bytes")).toInteger();
        plan->stallSeconds = stall->params.value(QStringLiteral("seconds")).toDouble(5);
    }
    if (throttle)
        plan->bytesPerSecond = qMax(1.0, throttle->params.value(QStringLiteral("bytes_per_second")).toDouble(65536));
    if (corrupt && reply.file)
        plan->corruptAt = corrupt->params.value(QStringLiteral("offset")).toInteger(qint64(total / 2));
    plan->began = std::chrono::steady_clock::now();

    auto produce = [plan](std::size_t offset, std::size_t remaining, httplib::DataSink &sink) {
        thread_local std::vector<char> buffer(1024 * 1024);
        std::size_t n = std::min(remaining, buffer.size());
        if (plan->closeAfter >= 0) {
            if (qint64(offset) >= plan->closeAfter)
                return false; // drops the connection mid-body
            n = std::min<std::size_t>(n, std::size_t(plan->closeAfter - qint64(offset)));
        }
        if (plan->stallAt >= 0) {
            if (qint64(offset) == plan->stallAt) {
                sleepSeconds(plan->stallSeconds);
                plan->stallAt = -1;
            } else if (qint64(offset) < plan->stallAt) {
                n = std::min<std::size_t>(n, std::size_t(plan->stallAt - qint64(offset)));
            }
        }
        if (plan->bytesPerSecond > 0) {
            // Small slices keep the pace even, whatever the rate.
            n = std::min<std::size_t>(n, std::max<std::size_t>(1, std::size_t(plan->bytesPerSecond / 20)));
            const auto due = plan->began
                             + std::chrono::microseconds(qint64(double(offset) * 1e6 / plan->bytesPerSecond));
            std::this_thread::sleep_until(due);
        }
        if (offset >= plan->dataLength) {
            // The one byte past the content, sent only by extra_byte.
            buffer[0] = 'X';
            return sink.write(buffer.data(), 1);
        }
        n = std::min<std::size_t>(n, std::size_t(plan->dataLength - offset));
        if (plan->file) {
            ContentGenerator(plan->file->key).fill(plan->start + offset, buffer.data(), n);
            const qint64 at = plan->corruptAt - qint64(plan->start + offset);
            if (plan->corruptAt >= 0 && at >= 0 && at < qint64(n))
                buffer[std::size_t(at)] = char(buffer[std::size_t(at)] ^ 0xff);
        } else {
            std::memcpy(buffer.data(), plan->body.constData() + offset, n);
        }
        return sink.write(buffer.data(), n);
    };
    const Fault *extraByte = findFault(faults, "extra_byte");
    if (extraByte && extraByte->params.value(QStringLiteral("chunked")).toBool()) {
        // No length announced at all: only the body's end tells the client
        // that it got more than the file holds.
        response.set_chunked_content_provider(
            reply.contentType, [produce, sentLength](std::size_t offset, httplib::DataSink &sink) {
                if (offset >= sentLength) {
                    sink.done();
                    return true;
                }
                return produce(offset, std::size_t(sentLength - offset), sink);
            });
        return;
    }
    response.set_content_provider(std::size_t(sentLength), reply.contentType, produce);
}

void ChartService::handleControl(const httplib::Request &request, httplib::Response &response, const QString &path)
{
    auto answer = [&response](const QJsonObject &object, int status = 200) {
        response.status = status;
        response.set_content(QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString(), "application/json");
    };
    const std::string &method = request.method;
    const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();

    if (path == QLatin1String("/_control/faults")) {
        if (method == "POST") {
            QString error;
            if (!m_faults.add(body, &error)) {
                answer({{QStringLiteral("message"), error}, {QStringLiteral("error"), QStringLiteral("bad_fault")}}, 400);
                return;
            }
        } else if (method == "DELETE") {
            m_faults.clear();
        }
        answer({{QStringLiteral("faults"), m_faults.toJson()}});
        return;
    }
    if (path == QLatin1String("/_control/faults/clear")) {
        m_faults.clear();
        answer({{QStringLiteral("faults"), QJsonArray()}});
        return;
    }
    if (path == QLatin1String("/_control/requests")) {
        if (method == "DELETE")
            m_log.clear();
        answer({{QStringLiteral("requests"), m_log.entries()}});
        return;
    }
    if (path == QLatin1String("/_control/requests/clear")) {
        m_log.clear();
        answer({{QStringLiteral("requests"), QJsonArray()}});
        return;
    }
    if (path == QLatin1String("/_control/firmware")) {
        if (method == "POST")
            m_catalogue.setFirmware(body);
        answer(m_catalogue.firmware());
        return;
    }
    if (path == QLatin1String("/_control/subscriptions")) {
        const QString account = QString::fromStdString(request.get_param_value("account")).toLower();
        QJsonArray list;
        for (const QString &type : productTypes) {
            for (const CatalogueSubscription &s : m_catalogue.subscriptions(account, type)) {
                list.append(QJsonObject{{QStringLiteral("subscription_id"), s.subscriptionId},
                                        {QStringLiteral("product_id"), s.productId},
                                        {QStringLiteral("device_id"), s.deviceId},
                                        {QStringLiteral("media_id"), Catalogue::mediaIdFromDeviceId(s.deviceId)},
                                        {QStringLiteral("drm"), QString::fromLatin1(s.drm.toBase64())}});
            }
        }
        answer({{QStringLiteral("subscriptions"), list}});
        return;
    }
    if (path == QLatin1String("/_control/file") || path == QLatin1String("/_control/sha1")) {
        // Expected content of a file end point, never subject to faults.
        const QString filePath = QString::fromStdString(request.get_param_value("path"));
        const CatalogueFile *file = fileForPath(filePath);
        if (!file) {
            answer({{QStringLiteral("message"), QStringLiteral("no such file: ") + filePath}}, 404);
            return;
        }
        if (path == QLatin1String("/_control/sha1")) {
            answer({{QStringLiteral("sha1"), QString::fromLatin1(m_catalogue.sha1(*file))},
                    {QStringLiteral("size"), double(file->size)},
                    {QStringLiteral("etag"), file->etag},
                    {QStringLiteral("data"), QString::fromLatin1(file->data.toBase64())}});
            return;
        }
        const CatalogueFile *captured = file;
        response.status = 200;
        if (file->size == 0) {
            response.set_content(std::string(), "application/octet-stream");
            return;
        }
        response.set_content_provider(
            std::size_t(file->size), "application/octet-stream",
            [captured](std::size_t offset, std::size_t remaining, httplib::DataSink &sink) {
                thread_local std::vector<char> buffer(1024 * 1024);
                const std::size_t n = std::min(remaining, buffer.size());
                ContentGenerator(captured->key).fill(offset, buffer.data(), n);
                return sink.write(buffer.data(), n);
            });
        return;
    }
    answer({{QStringLiteral("message"), QStringLiteral("unknown control endpoint")}}, 404);
}
