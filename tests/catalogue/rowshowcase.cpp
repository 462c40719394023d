// Shows a handful of product rows and the refresh button the way a tab shows
// them, for looking at by eye (screenshots under Xvfb). Quits by itself after
// the number of seconds given as the first argument (default 5).
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

#include "app/startup.h"
#include "catalogue/productgroup.h"
#include "catalogue/productrow.h"
#include "catalogue/refreshbutton.h"
#include "catalogue/rqsdproduct.h"
#include "catalogue/velmoraproduct.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    installApplicationFont();

    QWidget window;
    window.setWindowTitle(QStringLiteral("Rows"));
    window.setStyleSheet(QStringLiteral("background-color: white;"));
    auto *outer = new QVBoxLayout(&window);
    auto *bar = new QHBoxLayout;
    bar->addWidget(new QLabel(QStringLiteral("Legacy Charts")));
    bar->addStretch();
    auto *refresh = new RefreshButton(VelmoraRegion, &window);
    refresh->setProductType(VelmoraRegion);
    bar->addWidget(refresh);
    outer->addLayout(bar);

    auto *list = new QWidget(&window);
    auto *rows = new QVBoxLayout(list);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(0);
    outer->addWidget(list);
    outer->addStretch();

    ProductGroup group(QStringLiteral("velmora_region"), true, nullptr);
    const QJsonObject unbound{{"device_id", QString()}};
    const QList<QJsonObject> products{
        {{"name", "Ardmore Lakes"}, {"sku", "VM-ARD-01"}, {"size_in_kb", 4608}, {"product_id", 1}},
        {{"name", "Breconshire Reservoirs and every bay, inlet and river mouth of the northern highlands"},
         {"sku", "VM-BRE-02"}, {"size_in_kb", 1536000}, {"product_id", 2}},
        {{"name", "Calder Water"}, {"sku", "VM-CAL-03"}, {"size_in_kb", 0}, {"product_id", 3}},
    };
    QList<AbstractProduct *> owned;
    for (const QJsonObject &json : products) {
        auto *product = new VelmoraProduct(json);
        product->productType = VelmoraRegion;
        group.addProduct(product->productId, product);
        group.addSubscription(product->productId, product->productId, &unbound);
        product->createRow(list, group.getButtonGroup());
        product->rawMediaIdChanged(QStringLiteral("CARD"), QString(), NoProductType);
        owned.append(product);
    }
    RqSdProduct rq(QJsonObject{{"name", "RQ Northern Chart"}, {"sku", "  4321-1"}, {"size_in_kb", 2048},
                               {"product_id", 4}});
    rq.createRow(list, group.getButtonGroup());
    rq.chartUpdateStatusChanged(AbstractProduct::UpdateAvailable);

    group.highlightProduct(1);
    owned.at(2)->disabled = true;
    group.getButtonGroup()->button(3)->setDisabled(true);

    window.resize(760, 330);
    window.show();
    bool ok = false;
    const int seconds = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt(&ok) : 5;
    QTimer::singleShot((ok ? seconds : 5) * 1000, &app, &QApplication::quit);
    const int result = app.exec();
    qDeleteAll(owned);
    return result;
}
