// quorvel-chart-service: a local stand-in for the chart service, for the
// tool's demo, its end-to-end tests and its benchmarks.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cstdio>

#include "cardmaker.h"
#include "catalogue.h"
#include "chartservice.h"
#include "faultset.h"
#include "requestlog.h"
#include "tlsmaterial.h"

namespace {

void usage()
{
    std::fprintf(stderr,
                 "usage: quorvel-chart-service [--port N] [--catalogue FILE]... [--state FILE] [--hash-cache FILE]\n"
                 "                             [--fault JSON]... [--latest-version V] [--threads N]\n"
                 "                             [--tls-dir DIR [--tls-port N]]\n"
                 "       quorvel-chart-service make-card DIR --kind rq|velmora|talvo|blank [--media-id ID] [--build N]\n");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (!args.isEmpty() && args.first() == QLatin1String("make-card"))
        return CardMaker::run(args.mid(1));

    int port = 0;
    int threads = 32;
    QStringList catalogues;
    QString statePath;
    QString hashCachePath;
    QStringList faultDefinitions;
    QString latestVersion;
    QString tlsDir;
    int tlsPort = 0;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (i + 1 >= args.size()) {
            usage();
            return 2;
        }
        const QString value = args.at(++i);
        if (a == QLatin1String("--port"))
            port = value.toInt();
        else if (a == QLatin1String("--catalogue"))
            catalogues.append(value);
        else if (a == QLatin1String("--state"))
            statePath = value;
        else if (a == QLatin1String("--hash-cache"))
            hashCachePath = value;
        else if (a == QLatin1String("--fault"))
            faultDefinitions.append(value);
        else if (a == QLatin1String("--latest-version"))
            latestVersion = value;
        else if (a == QLatin1String("--threads"))
            threads = value.toInt();
        else if (a == QLatin1String("--tls-dir"))
            tlsDir = value;
        else if (a == QLatin1String("--tls-port"))
            tlsPort = value.toInt();
        else {
            usage();
            return 2;
        }
    }
    if (catalogues.isEmpty())
        catalogues.append(QStringLiteral(QUORVEL_CHART_SERVICE_DEMO_CATALOGUE));

    Catalogue catalogue;
    QString error;
    for (const QString &path : catalogues) {
        if (!catalogue.load(path, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
    }
    if (!statePath.isEmpty() && !catalogue.loadState(statePath, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    if (hashCachePath.isEmpty() && !statePath.isEmpty())
        hashCachePath = statePath + QStringLiteral(".hashes");
    if (!hashCachePath.isEmpty())
        catalogue.setHashCachePath(hashCachePath);
    if (!latestVersion.isEmpty())
        catalogue.setFirmware({{QStringLiteral("latest_version"), latestVersion}});

    FaultSet faults;
    for (const QString &definition : faultDefinitions) {
        if (!faults.add(QJsonDocument::fromJson(definition.toUtf8()).object(), &error)) {
            std::fprintf(stderr, "--fault %s: %s\n", qPrintable(definition), qPrintable(error));
            return 2;
        }
    }

    RequestLog log;
    ChartService service(catalogue, faults, log, threads);
    if (service.bind(port) < 0) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    QStringList tlsLines;
    TlsMaterial tls;
    if (!tlsDir.isEmpty()) {
        const QString caPath = QDir(tlsDir).absoluteFilePath(QStringLiteral("ca.pem"));
        const QDir dir(tlsDir);
        if (!tls.create(&error) || !tls.writeAuthority(caPath, &error)
            || !tls.writeServer(dir.absoluteFilePath(QStringLiteral("server.pem")),
                                dir.absoluteFilePath(QStringLiteral("server-key.pem")), &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        const QString https = service.bindTls(tlsPort, tls.serverCertificate(), tls.serverKey());
        // Only ever asked for a handshake: a few workers are plenty.
        const QString wrongName = service.bindTls(0, tls.wrongNameCertificate(), tls.serverKey(), 4);
        if (https.isEmpty() || wrongName.isEmpty()) {
            std::fprintf(stderr, "cannot serve HTTPS on 127.0.0.1:%d\n", tlsPort);
            return 1;
        }
        tlsLines << QStringLiteral("https=") + https << QStringLiteral("ca=") + caPath
                 << QStringLiteral("https_wrong_name=") + wrongName;
    }
    // The first line is the contract with whoever started us: tests read it
    // to learn the port, so it must leave the buffer at once. The HTTPS
    // lines follow in one write, before any request can be answered.
    std::printf("%s\n", qPrintable(service.baseUrl()));
    for (const QString &line : std::as_const(tlsLines))
        std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
    return service.listen() ? 0 : 1;
}
