// The rows of a line must behave as one choice: one highlighted product at a
// time, no reaction while a download runs, and the texts the user reads.
#include <QAbstractButton>
#include <QApplication>
#include <QFontMetrics>
#include <QJsonObject>
#include <QLabel>
#include <QRadioButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/startup.h"
#include "capturehttpserver.h"
#include "catalogue/productgroup.h"
#include "catalogue/productrow.h"
#include "catalogue/refreshbutton.h"
#include "catalogue/rqsdproduct.h"
#include "catalogue/velmoraproduct.h"
#include "ui_productrow.h"
#include "ui_refreshbutton.h"

namespace {
const QString separator = QStringLiteral("-----Trelmarkholding---media---001-----");
}

class TestProductWidgets : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void rowShowsTheProduct();
    void namesUseTheRoomTheRowHas();
    void statusFollowsTheCard();
    void rqRowShowsChartState();

    void pressHighlightsOneRowAtATime();
    void highlightedRowIgnoresPresses();
    void disabledRowsIgnorePresses();
    void clearSelectionsUnchecksEverything();
    void nonExclusiveGroupOnlyReports();
    void productLookup();

    void refreshButton();

private:
    VelmoraProduct *addOwned(const QString &sku, int id, const QString &name = QString());

    CaptureHttpServer *service = nullptr;
    QWidget *list = nullptr;
    ProductGroup *group = nullptr;
    QList<VelmoraProduct *> products;
};

void TestProductWidgets::initTestCase()
{
    prepareStartup();
    installApplicationFont();
    service = new CaptureHttpServer(this);
    QVERIFY(service->listen());
    qputenv("QUORVEL_SERVICE_URL", service->baseUrl().toUtf8());
    service->setReply(200, QByteArrayLiteral("{}"));
}

void TestProductWidgets::init()
{
    list = new QWidget;
    new QVBoxLayout(list);
    list->resize(800, 400);
    group = new ProductGroup(QStringLiteral("velmora_region"), true, list);
}

void TestProductWidgets::cleanup()
{
    qDeleteAll(products);
    products.clear();
    delete group;
    delete list;
}

VelmoraProduct *TestProductWidgets::addOwned(const QString &sku, int id, const QString &name)
{
    auto *product = new VelmoraProduct(QJsonObject{{"name", name.isEmpty() ? "Lake " + sku : name}, {"sku", sku},
                                                   {"size_in_kb", 3 * 1024}, {"product_id", id}});
    product->productType = VelmoraRegion;
    products.append(product);
    group->addProduct(id, product);
    const QJsonObject subscription{{"device_id", QString()}};
    group->addSubscription(id, id * 10, &subscription);
    product->createRow(list, group->getButtonGroup());
    return product;
}

void TestProductWidgets::rowShowsTheProduct()
{
    VelmoraProduct *product = addOwned(QStringLiteral("VM-100"), 1);
    ProductRow *row = product->row;
    QVERIFY(row);
    list->show();
    QVERIFY(QTest::qWaitForWindowExposed(list));
    QCOMPARE(row->parentWidget(), list);
    QCOMPARE(list->layout()->indexOf(row), 0);
    QCOMPARE(row->ui->productName->text(), QStringLiteral("Lake VM-100"));
    QCOMPARE(row->ui->productSku->text(), QStringLiteral("VM-100"));
    QCOMPARE(row->ui->productSize->text(), QStringLiteral("3.00 MB"));
    QCOMPARE(row->ui->productStatus->text(), QStringLiteral("Not Owned"));
    QCOMPARE(group->getButtonGroup()->id(row->ui->radioButton), 1);
    QCOMPARE(group->getButtonGroup()->button(1), row->ui->radioButton);
}

namespace {
// What the label paints: its font (with the style sheet's upper case) over
// the text it holds.
int paintedWidth(const QLabel *label)
{
    return QFontMetrics(label->font()).horizontalAdvance(label->text());
}
} // namespace

void TestProductWidgets::namesUseTheRoomTheRowHas()
{
    // As in the main window: the rows arrive in a resizable scroll area of a
    // window that is already on screen.
    QWidget window;
    auto *outer = new QVBoxLayout(&window);
    auto *area = new QScrollArea(&window);
    area->setWidgetResizable(true);
    auto *content = new QWidget;
    auto *rows = new QVBoxLayout(content);
    rows->setAlignment(Qt::AlignTop);
    area->setWidget(content);
    outer->addWidget(area);
    window.resize(760, 400);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    const QString fits = QStringLiteral("Lake Arden Reservoirs");
    const QString tooLong = QStringLiteral("Lakes of the Northern Highlands with every bay, inlet and reservoir charted in depth");
    auto *product = new VelmoraProduct(QJsonObject{{"name", fits}, {"sku", "VM-ARD-01"}, {"product_id", 1}});
    auto *longer = new VelmoraProduct(QJsonObject{{"name", tooLong}, {"sku", "VM-LNG-02"}, {"product_id", 2}});
    products << product << longer;
    product->createRow(content, group->getButtonGroup());
    longer->createRow(content, group->getButtonGroup());
    QLabel *name = product->row->ui->productName;
    QLabel *longName = longer->row->ui->productName;

    QTRY_VERIFY(name->width() >= 302);
    QTRY_COMPARE(name->text(), fits);
    QVERIFY2(name->toolTip().isEmpty(), "a name that fits needs no tooltip");

    QTRY_VERIFY(longName->text().endsWith(QChar(0x2026)));
    QCOMPARE(longName->toolTip(), tooLong);
    // Cut where the upper-case text meets the edge, not at some earlier width.
    QVERIFY2(paintedWidth(longName) <= longName->width(), qPrintable(longName->text()));
    QVERIFY2(paintedWidth(longName) > longName->width() - 40,
             qPrintable(QStringLiteral("%1 px of %2").arg(paintedWidth(longName)).arg(longName->width())));

    window.resize(1800, 400);
    QTRY_COMPARE(longName->text(), tooLong);
    QVERIFY(longName->toolTip().isEmpty());

}

void TestProductWidgets::statusFollowsTheCard()
{
    VelmoraProduct *product = addOwned(QStringLiteral("VM-1"), 1);
    product->insertSubscription(2, QJsonObject{{"device_id", "a" + separator + "CARD" + separator + "b"}});
    QLabel *status = product->row->ui->productStatus;

    product->rawMediaIdChanged(QStringLiteral("CARD"), QString(), NoProductType);
    QCOMPARE(status->text(), QStringLiteral("Redownload"));
    product->rawMediaIdChanged(QStringLiteral("CARD"), QStringLiteral("VM-2"), VelmoraRegion);
    QCOMPARE(status->text(), QStringLiteral("Replace"));
    product->rawMediaIdChanged(QStringLiteral("CARD"), QStringLiteral("  1234-5"), RqSd);
    QCOMPARE(status->text(), QStringLiteral("Incompatible"));
    product->rawMediaIdChanged(QString(), QString(), NoProductType);
    QCOMPARE(status->text(), QStringLiteral("Available"));
}

void TestProductWidgets::rqRowShowsChartState()
{
    RqSdProduct rq(QJsonObject{{"sku", "  1234-5"}, {"product_id", 5}});
    rq.chartUpdateStatusChanged(AbstractProduct::UpdateAvailable); // no row yet: nothing to do
    rq.createRow(list, group->getButtonGroup());
    rq.rawMediaIdChanged(QStringLiteral("CARD"), QString(), NoProductType);
    QCOMPARE(rq.row->ui->productStatus->text(), QStringLiteral("Not Owned"));
    rq.chartUpdateStatusChanged(AbstractProduct::UpdateInProgress);
    QCOMPARE(rq.row->ui->productStatus->text(), QStringLiteral("Update In Progress"));
}

void TestProductWidgets::pressHighlightsOneRowAtATime()
{
    VelmoraProduct *first = addOwned(QStringLiteral("VM-1"), 1);
    VelmoraProduct *second = addOwned(QStringLiteral("VM-2"), 2);
    list->show();
    QVERIFY(QTest::qWaitForWindowExposed(list));
    QSignalSpy chosen(group->getButtonGroup(), &QButtonGroup::idClicked);

    QTest::mousePress(first->row, Qt::LeftButton, {}, QPoint(300, 30));
    QCOMPARE(chosen.count(), 1);
    QCOMPARE(chosen.last().at(0).toInt(), 1);
    QVERIFY(first->row->ui->radioButton->isChecked());
    QVERIFY(first->selected && first->rowHighlighted);
    QCOMPARE(first->row->styleSheet(), QStringLiteral("background-color: #FDB924"));
    QCOMPARE(group->getSelectedProduct(), first);

    // Pressing the other row's own radio button works the same way (the
    // button group reports the click of its button once more itself).
    QTest::mouseClick(second->row->ui->radioButton, Qt::LeftButton);
    QVERIFY(chosen.count() >= 2);
    QCOMPARE(chosen.last().at(0).toInt(), 2);
    QVERIFY(second->row->ui->radioButton->isChecked());
    QVERIFY(!first->row->ui->radioButton->isChecked());
    QVERIFY(!first->rowHighlighted && !first->selected);
    QCOMPARE(first->row->styleSheet(), QString());
    QCOMPARE(group->getSelectedProducts(), QList<AbstractProduct *>{second});

    // The press also asked the service for the product's details.
    QTRY_VERIFY_WITH_TIMEOUT(!service->requests.isEmpty(), 10000);
    QCOMPARE(service->requests.first().path, QByteArray("/api/smn/GetProductInfo"));
}

void TestProductWidgets::highlightedRowIgnoresPresses()
{
    VelmoraProduct *first = addOwned(QStringLiteral("VM-1"), 1);
    VelmoraProduct *second = addOwned(QStringLiteral("VM-2"), 2);
    list->show();
    QVERIFY(QTest::qWaitForWindowExposed(list));
    QSignalSpy presses(first->row, &ProductRow::highlightClick);
    QSignalSpy chosen(group->getButtonGroup(), &QButtonGroup::idClicked);

    QTest::mousePress(first->row, Qt::LeftButton, {}, QPoint(300, 30));
    QTest::mousePress(first->row, Qt::LeftButton, {}, QPoint(300, 30));
    QCOMPARE(chosen.count(), 1);
    QTest::mouseClick(first->row->ui->radioButton, Qt::LeftButton);
    QCOMPARE(presses.count(), 1);
    QVERIFY(first->row->ui->radioButton->isChecked());
    chosen.clear();

    // Once another row is chosen, the first answers again.
    QTest::mousePress(second->row, Qt::LeftButton, {}, QPoint(300, 30));
    QTest::mousePress(first->row, Qt::LeftButton, {}, QPoint(300, 30));
    QCOMPARE(presses.count(), 2);
    QCOMPARE(chosen.count(), 2);
    QCOMPARE(chosen.last().at(0).toInt(), 1);
}

void TestProductWidgets::disabledRowsIgnorePresses()
{
    VelmoraProduct *first = addOwned(QStringLiteral("VM-1"), 1);
    list->show();
    QVERIFY(QTest::qWaitForWindowExposed(list));
    QSignalSpy presses(first->row, &ProductRow::highlightClick);

    group->setDisabled(true);
    QVERIFY(first->disabled);
    QVERIFY(!first->row->ui->radioButton->isEnabled());
    QTest::mousePress(first->row, Qt::LeftButton, {}, QPoint(300, 30));
    QTest::mouseClick(first->row->ui->radioButton, Qt::LeftButton);
    QCOMPARE(presses.count(), 0);
    QVERIFY(!first->selected);

    group->setDisabled(false);
    QVERIFY(!first->disabled);
    QVERIFY(first->row->ui->radioButton->isEnabled());
    QTest::mousePress(first->row, Qt::LeftButton, {}, QPoint(300, 30));
    QCOMPARE(presses.count(), 1);
}

void TestProductWidgets::clearSelectionsUnchecksEverything()
{
    VelmoraProduct *first = addOwned(QStringLiteral("VM-1"), 1);
    addOwned(QStringLiteral("VM-2"), 2);
    group->highlightProduct(1);
    QVERIFY(first->row->ui->radioButton->isChecked());

    group->clearSelections();
    QVERIFY(!group->getButtonGroup()->checkedButton());
    QVERIFY(!first->selected && !first->rowHighlighted);
    QCOMPARE(first->row->styleSheet(), QString());
    QVERIFY(!group->getSelectedProduct());
    QVERIFY2(group->isExclusive(), "exclusivity comes back after clearing");

    // A cleared row can be chosen again at once.
    group->highlightProduct(1);
    QVERIFY(first->selected);
}

void TestProductWidgets::nonExclusiveGroupOnlyReports()
{
    ProductGroup loose(QStringLiteral("talvos"), false, nullptr);
    QVERIFY(!loose.isExclusive());
    QVERIFY(!loose.parent());
    auto *product = new VelmoraProduct(QJsonObject{{"product_id", 4}, {"sku", "TV-4"}});
    products.append(product);
    loose.addProduct(4, product);
    product->createRow(list, loose.getButtonGroup());
    QSignalSpy chosen(loose.getButtonGroup(), &QButtonGroup::idClicked);

    emit product->exclusiveHighlight(4);
    QCOMPARE(chosen.count(), 1);
    QVERIFY(!product->selected && !product->rowHighlighted);
    QVERIFY(!product->row->ui->radioButton->isChecked());
}

void TestProductWidgets::productLookup()
{
    VelmoraProduct *first = addOwned(QStringLiteral("VM-1a"), 1);
    QCOMPARE(group->getProduct(1), first);
    QVERIFY(!group->getProduct(99));
    QCOMPARE(group->getProduct(QStringLiteral("VM-1a")), first);
    QVERIFY(!group->getProduct(QStringLiteral("VM-1A")));
    QVERIFY(!group->getProduct(QStringLiteral("VM-1")));

    // Adding under the same id replaces the product, and only the new one
    // still reaches the group.
    auto *replacement = new VelmoraProduct(QJsonObject{{"product_id", 1}, {"sku", "VM-1b"}});
    products.append(replacement);
    group->addProduct(1, replacement);
    QCOMPARE(group->getProduct(1), replacement);
    QCOMPARE(group->getProducts().size(), 1);

    // A subscription for an unknown product is dropped, not a crash.
    const QJsonObject subscription{{"device_id", QString()}};
    group->addSubscription(42, 1, &subscription);
}

void TestProductWidgets::refreshButton()
{
    RefreshButton button(VelmoraRegion, nullptr);
    QVERIFY(button.ui->toolButton->toolTip().isEmpty());

    QSignalSpy refresh(&button, &RefreshButton::refreshSubscriptions);
    button.show();
    QTest::mouseClick(button.ui->toolButton, Qt::LeftButton);
    QCOMPARE(refresh.count(), 1);
    QCOMPARE(refresh.last().at(0).toInt(), int(VelmoraRegion));

    button.setProductType(Talvos);
    QTest::mouseClick(button.ui->toolButton, Qt::LeftButton);
    QCOMPARE(refresh.last().at(0).toInt(), int(Talvos));

    button.setDisabled(true);
    QVERIFY(!button.ui->toolButton->isEnabled());
    QTest::mouseClick(button.ui->toolButton, Qt::LeftButton);
    QCOMPARE(refresh.count(), 2);
    button.setDisabled(false);
    QVERIFY(button.ui->toolButton->isEnabled());
}

QTEST_MAIN(TestProductWidgets)
#include "tst_productwidgets.moc"
