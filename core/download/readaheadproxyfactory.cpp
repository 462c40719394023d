#include "download/readaheadproxyfactory.h"

#include <QUrl>

namespace {

bool direct(const QList<QNetworkProxy> &proxies)
{
    return !proxies.isEmpty() && proxies.constFirst().type() == QNetworkProxy::NoProxy;
}

} // namespace

QList<QNetworkProxy> ReadAheadProxyFactory::queryProxy(const QNetworkProxyQuery &query)
{
    // What a manager without a factory of its own would use.
    QList<QNetworkProxy> proxies = QNetworkProxyFactory::proxyForQuery(query);
    // Over TLS the socket reads ahead already.
    if (!direct(proxies) || query.url().scheme() != QLatin1String("http"))
        return proxies;
    // The socket asks again as a bare TCP connection naming no protocol, so
    // a proxy set for every protocol but not for HTTP would catch it there.
    const QNetworkProxyQuery socketQuery(
        query.url().host(), query.url().port(80), QString(), QNetworkProxyQuery::TcpSocket);
    if (!direct(QNetworkProxyFactory::proxyForQuery(socketQuery)))
        return proxies;
    proxies.first() = QNetworkProxy(QNetworkProxy::DefaultProxy);
    return proxies;
}
