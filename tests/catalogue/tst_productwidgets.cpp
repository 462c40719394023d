// The rows of a line must behave as one choice: one highlighted product at a
// time, no reaction while a download runs, and names that fit their row.
#include <QApplication>
#include <QFontMetrics>
#include <QJsonObject>
#include <QLabel>
#include <QRadioButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include "app/startup.h"
#include "catalogue/productgroup.h"
#include "catalogue/productrow.h"
#include "catalogue/rqsdproduct.h"
#include "catalogue/velmoraproduct.h"

class TestProductWidgets : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void rowShowsTheProduct();
    void namesUseTheRoomTheRowHas();
    void oneChoicePerLine();
    void looseGroupOnlyReports();

private:
    VelmoraProduct *addOwned(const QString &sku, int id);
    QRadioButton *radio(AbstractProduct *product) { return product->row->findChild<QRadioButton *>(QStringLiteral("radioButton")); }
    void press(AbstractProduct *product) { QTest::mousePress(product->row, Qt::LeftButton, {}, QPoint(300, 30)); }

    QWidget *list = nullptr;
    ProductGroup *group = nullptr;
    QList<AbstractProduct *> products;
};

void TestProductWidgets::initTestCase()
{
    prepareStartup();
    installApplicationFont();
    // A press asks for the product's details; nothing answers here.
    qputenv("QUORVEL_SERVICE_URL", "http://127.0.0.1:9");
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

VelmoraProduct *TestProductWidgets::addOwned(const QString &sku, int id)
{
    auto *product = new VelmoraProduct(QJsonObject{{"name", "Lake " + sku}, {"sku", sku}, {"product_id", id}});
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
    auto *rq = new RqSdProduct(QJsonObject{{"name", "North"}, {"sku", "  1234-5"}, {"size_in_kb", 3 * 1024}, {"product_id", 5}});
    products.append(rq);
    rq->createRow(list, group->getButtonGroup());
    // Found by its item number without the chart name's padding.
    ProductRow *row = list->findChild<ProductRow *>(QStringLiteral("productRow_1234-5"));
    QCOMPARE(row, rq->row.data());
    QCOMPARE(list->layout()->indexOf(row), 0);
    auto text = [row](const char *name) { return row->findChild<QLabel *>(QString::fromLatin1(name))->text(); };
    QCOMPARE(text("productName"), QStringLiteral("North"));
    QCOMPARE(text("productSku"), QStringLiteral("1234-5"));
    QCOMPARE(text("productSize"), QStringLiteral("3.00 MB"));
    QCOMPARE(text("productStatus"), QStringLiteral("Not Owned"));
    QCOMPARE(group->getButtonGroup()->button(5), radio(rq));
}

void TestProductWidgets::namesUseTheRoomTheRowHas()
{
    // As in the main window: the rows arrive in a resizable scroll area of a
    // window that is already on screen.
    QWidget window;
    auto *area = new QScrollArea(&window);
    area->setWidgetResizable(true);
    auto *content = new QWidget;
    new QVBoxLayout(content);
    area->setWidget(content);
    (new QVBoxLayout(&window))->addWidget(area);
    window.resize(760, 400);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    const QString fits = QStringLiteral("Lake Arden Reservoirs");
    const QString tooLong = QStringLiteral("Lakes of the Northern Highlands with every bay, inlet and reservoir charted in depth");
    for (const QString &name : {fits, tooLong}) {
        products << new VelmoraProduct(QJsonObject{{"name", name}, {"sku", QString::number(products.size())}});
        products.last()->createRow(content, group->getButtonGroup());
    }
    QLabel *shortName = products.at(0)->row->findChild<QLabel *>(QStringLiteral("productName"));
    QLabel *longName = products.at(1)->row->findChild<QLabel *>(QStringLiteral("productName"));
    QTRY_COMPARE(shortName->text(), fits);
    QVERIFY2(shortName->toolTip().isEmpty(), "a name that fits needs no tooltip");
    QTRY_VERIFY(longName->text().endsWith(QChar(0x2026)));
    QCOMPARE(longName->toolTip(), tooLong);
    // Cut where the painted (upper-case) text meets the edge, not at some
    // earlier width.
    const int painted = QFontMetrics(longName->font()).horizontalAdvance(longName->text());
    QVERIFY2(painted <= longName->width() && painted > longName->width() - 40,
             qPrintable(QStringLiteral("%1 px of %2").arg(painted).arg(longName->width())));

    window.resize(1800, 400);
    QTRY_COMPARE(longName->text(), tooLong);
    QVERIFY(longName->toolTip().isEmpty());
}

void TestProductWidgets::oneChoicePerLine()
{
    VelmoraProduct *first = addOwned(QStringLiteral("VM-1"), 1);
    VelmoraProduct *second = addOwned(QStringLiteral("VM-2"), 2);
    list->show();
    QVERIFY(QTest::qWaitForWindowExposed(list));
    QSignalSpy chosen(group->getButtonGroup(), &QButtonGroup::idClicked);
    QSignalSpy asked(first->row, &ProductRow::highlightClick);

    press(first);
    QCOMPARE(chosen.count(), 1);
    QCOMPARE(chosen.last().at(0).toInt(), 1);
    QVERIFY(radio(first)->isChecked());
    QVERIFY(first->selected && first->rowHighlighted);
    QCOMPARE(group->getSelectedProduct(), first);
    // The chosen row is already the choice: pressing it again asks nothing.
    press(first);
    QTest::mouseClick(radio(first), Qt::LeftButton);
    QCOMPARE(asked.count(), 1);

    // The other row's own radio button works the same way.
    QTest::mouseClick(radio(second), Qt::LeftButton);
    QCOMPARE(chosen.last().at(0).toInt(), 2);
    QVERIFY(radio(second)->isChecked());
    QVERIFY(!radio(first)->isChecked());
    QVERIFY(!first->rowHighlighted && !first->selected);
    QCOMPARE(group->getSelectedProducts(), QList<AbstractProduct *>{second});
    press(first);
    QCOMPARE(asked.count(), 2);

    group->clearSelections();
    QVERIFY(!group->getButtonGroup()->checkedButton());
    QVERIFY(!group->getSelectedProduct());
    QVERIFY(!first->rowHighlighted && !second->rowHighlighted);
    QVERIFY2(group->isExclusive(), "exclusivity comes back after clearing");
    group->highlightProduct(2);
    QVERIFY(second->selected);

    // While a download runs the rows ignore presses, and answer again after.
    group->setDisabled(true);
    QVERIFY(!radio(first)->isEnabled());
    press(first);
    QTest::mouseClick(radio(first), Qt::LeftButton);
    QCOMPARE(asked.count(), 2);
    QVERIFY(!first->selected);
    group->setDisabled(false);
    QVERIFY(radio(first)->isEnabled());
    press(first);
    QCOMPARE(asked.count(), 3);
}

void TestProductWidgets::looseGroupOnlyReports()
{
    ProductGroup loose(QStringLiteral("talvos"), false, nullptr);
    auto *product = new VelmoraProduct(QJsonObject{{"product_id", 4}, {"sku", "TV-4"}});
    products.append(product);
    loose.addProduct(4, product);
    product->createRow(list, loose.getButtonGroup());
    QSignalSpy chosen(loose.getButtonGroup(), &QButtonGroup::idClicked);

    emit product->exclusiveHighlight(4);
    QCOMPARE(chosen.count(), 1);
    QVERIFY(!product->selected && !product->rowHighlighted);
    QVERIFY(!radio(product)->isChecked());
}

QTEST_MAIN(TestProductWidgets)
#include "tst_productwidgets.moc"
