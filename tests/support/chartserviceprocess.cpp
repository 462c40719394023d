#include "chartserviceprocess.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrlQuery>

#include <csignal>
#include <sys/prctl.h>

#include "mediatext.h"
#include "testkit.h"
#include "service/deploymentdata.h"

namespace {

constexpr int TimeoutMs = 30000;

QByteArray joinHalves(const unsigned char *a, const unsigned char *b)
{
    QByteArray result(20, '\0');
    for (int i = 0; i < 20; ++i)
        result[i] = char(a[i] ^ b[i]);
    return result;
}

QRegularExpression wildcard(const QString &pattern)
{
    QString regex;
    for (const QChar c : pattern)
        regex += c == QLatin1Char('*') ? QStringLiteral(".*") : QRegularExpression::escape(QString(c));
    return QRegularExpression(QRegularExpression::anchoredPattern(regex));
}

} // namespace

ChartServiceProcess::ChartServiceProcess()
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A test that crashes or is killed by its time-out must not leave the
    // service holding ports and threads behind it.
    Kit::dieWithParent(m_process);
}

ChartServiceProcess::~ChartServiceProcess()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString ChartServiceProcess::demoCataloguePath()
{
    return QStringLiteral(QUORVEL_CHART_SERVICE_DIR "/demo-catalogue.json");
}

QString ChartServiceProcess::testCataloguePath()
{
    return QStringLiteral(QUORVEL_CHART_SERVICE_DIR "/test-catalogue.json");
}

QString ChartServiceProcess::apiKey()
{
    return QString::fromLatin1(joinHalves(DeploymentData::apiKeyA, DeploymentData::apiKeyB).toHex());
}

QString ChartServiceProcess::passwordHash(const QString &password)
{
    const QString salt = QString::fromLatin1(joinHalves(DeploymentData::saltA, DeploymentData::saltB).toHex());
    return QString::fromLatin1(QCryptographicHash::hash((password + salt).toUtf8(), QCryptographicHash::Sha1).toHex());
}

QString ChartServiceProcess::encryptText(const QString &mediaId)
{
    return QString::fromUtf8(Kit::mediaText(mediaId.toUtf8()));
}

bool ChartServiceProcess::start(const QStringList &arguments)
{
    QStringList args{QStringLiteral("--port"), QStringLiteral("0")};
    if (!arguments.contains(QStringLiteral("--catalogue")))
        args << QStringLiteral("--catalogue") << demoCataloguePath();
    m_tlsDir = std::make_unique<QTemporaryDir>();
    args << QStringLiteral("--tls-dir") << m_tlsDir->path() << arguments;
    m_process.start(QStringLiteral(QUORVEL_CHART_SERVICE_PATH), args);
    if (!m_process.waitForStarted(TimeoutMs))
        return false;
    // The base URL line, then name=value lines for HTTPS; the last of them
    // names the wrong-name port.
    QDeadlineTimer deadline(TimeoutMs);
    while (m_wrongNameUrl.isEmpty()) {
        while (!m_process.canReadLine()) {
            if (m_process.state() != QProcess::Running || deadline.hasExpired())
                return false;
            m_process.waitForReadyRead(100);
        }
        const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
        if (m_baseUrl.isEmpty())
            m_baseUrl = line;
        else if (line.startsWith(QLatin1String("https=")))
            m_httpsBaseUrl = line.mid(6);
        else if (line.startsWith(QLatin1String("ca=")))
            m_caFilePath = line.mid(3);
        else if (line.startsWith(QLatin1String("https_wrong_name=")))
            m_wrongNameUrl = line.mid(17);
    }
    m_authority = QSslCertificate::fromPath(m_caFilePath, QSsl::Pem);
    return m_baseUrl.startsWith(QLatin1String("http://127.0.0.1:"))
           && m_httpsBaseUrl.startsWith(QLatin1String("https://127.0.0.1:")) && m_authority.size() == 1;
}

QByteArray ChartServiceProcess::send(const QByteArray &method, const QString &pathOrUrl, const QByteArray &body,
                                     int *status, const QList<QPair<QByteArray, QByteArray>> &headers,
                                     QList<QPair<QByteArray, QByteArray>> *replyHeaders)
{
    const QString url = pathOrUrl.startsWith(QLatin1String("http")) ? pathOrUrl : m_baseUrl + pathOrUrl;
    QNetworkRequest request{QUrl(url)};
    if (request.url().scheme() == QLatin1String("https")) {
        // The service's authority for this request alone: the default
        // configuration, which the code under test uses, stays untouched.
        QSslConfiguration tls = request.sslConfiguration();
        tls.setCaCertificates(m_authority);
        request.setSslConfiguration(tls);
    }
    for (const auto &header : headers)
        request.setRawHeader(header.first, header.second);
    if (!body.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply *reply = m_manager.sendCustomRequest(request, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(TimeoutMs, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    if (!reply->isFinished())
        reply->abort();
    if (status)
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (replyHeaders)
        *replyHeaders = reply->rawHeaderPairs();
    const QByteArray result = reply->readAll();
    reply->deleteLater();
    return result;
}

QByteArray ChartServiceProcess::callRaw(const QString &name, const QString &group, QJsonObject body, int *status)
{
    body.insert(QStringLiteral("api_key"), apiKey());
    return send("POST", QStringLiteral("/api/") + group + QLatin1Char('/') + name,
                QJsonDocument(body).toJson(QJsonDocument::Indented), status);
}

QJsonObject ChartServiceProcess::call(const QString &name, const QString &group, QJsonObject body, int *status)
{
    return QJsonDocument::fromJson(callRaw(name, group, body, status)).object();
}

QString ChartServiceProcess::signIn(const QString &email, const QString &password)
{
    const QJsonObject reply = call(QStringLiteral("Login"), QStringLiteral("session"),
                                   {{QStringLiteral("email"), email.toLower()},
                                    {QStringLiteral("password"), passwordHash(password)},
                                    {QStringLiteral("remember_me"), true}});
    return reply.value(QStringLiteral("session_id")).toString();
}

QString ChartServiceProcess::controlPath(const QString &path, const QString &query) const
{
    return QStringLiteral("/_control/") + path + (query.isEmpty() ? QString() : QLatin1Char('?') + query);
}

bool ChartServiceProcess::control(const QByteArray &method, const QString &path, const QJsonObject &body)
{
    int status = 0;
    send(method, controlPath(path), body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson(), &status);
    return status == 200;
}

// The list the control endpoint path answers with, under the path's name.
QJsonArray ChartServiceProcess::controlList(const QString &path, const QString &query, int *status)
{
    return QJsonDocument::fromJson(send("GET", controlPath(path, query), QByteArray(), status))
        .object()
        .value(path)
        .toArray();
}

bool ChartServiceProcess::addFault(const QJsonObject &fault)
{
    return control("POST", QStringLiteral("faults"), fault);
}

bool ChartServiceProcess::clearFaults()
{
    return control("DELETE", QStringLiteral("faults"));
}

QJsonArray ChartServiceProcess::faults()
{
    return controlList(QStringLiteral("faults"));
}

int ChartServiceProcess::firedCount(const QString &kind)
{
    int status = 0;
    const QJsonArray armed = controlList(QStringLiteral("faults"), QString(), &status);
    if (status != 200)
        return -1;
    int fired = 0;
    for (const QJsonValue &value : armed) {
        if (kind.isEmpty() || value.toObject().value(QStringLiteral("kind")).toString() == kind)
            fired += value.toObject().value(QStringLiteral("fired")).toInt();
    }
    return fired;
}

QJsonArray ChartServiceProcess::requestLog(const QString &pathPattern)
{
    const QJsonArray all = controlList(QStringLiteral("requests"));
    if (pathPattern.isEmpty())
        return all;
    const QRegularExpression match = wildcard(pathPattern);
    QJsonArray filtered;
    for (const QJsonValue &entry : all) {
        if (match.match(entry.toObject().value(QStringLiteral("path")).toString()).hasMatch())
            filtered.append(entry);
    }
    return filtered;
}

bool ChartServiceProcess::clearRequestLog()
{
    return control("DELETE", QStringLiteral("requests"));
}

bool ChartServiceProcess::setFirmware(const QJsonObject &firmware)
{
    return control("POST", QStringLiteral("firmware"), firmware);
}

QJsonArray ChartServiceProcess::subscriptions(const QString &account)
{
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("account"), account);
    return controlList(QStringLiteral("subscriptions"), query.toString(QUrl::FullyEncoded));
}

QByteArray ChartServiceProcess::expectedBytes(const QString &url)
{
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("path"), QUrl(url).path(QUrl::FullyDecoded));
    return send("GET", controlPath(QStringLiteral("file"), query.toString(QUrl::FullyEncoded)), QByteArray(), nullptr);
}

QByteArray ChartServiceProcess::get(const QString &pathOrUrl, int *status,
                                    const QList<QPair<QByteArray, QByteArray>> &headers,
                                    QList<QPair<QByteArray, QByteArray>> *replyHeaders)
{
    return send("GET", pathOrUrl, QByteArray(), status, headers, replyHeaders);
}

bool ChartServiceProcess::makeCard(const QString &dir, const QString &kind, const QStringList &extra)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    Kit::dieWithParent(process);
    process.start(QStringLiteral(QUORVEL_CHART_SERVICE_PATH), QStringList{QStringLiteral("make-card"), dir, QStringLiteral("--kind"), kind} + extra);
    return process.waitForFinished(TimeoutMs) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}
