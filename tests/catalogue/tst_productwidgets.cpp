// The rows of a line must behave as one choice: one highlighted product at a
// time, no reaction while a download runs, and names that fit their row.
#include <QApplication>
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
#include "catalogue/velmoraproduct.h"

class TestProductWidgets : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void namesUseTheRoomTheRowHas();
    void oneChoicePerLine();

private:
    VelmoraProduct *addOwned(const QString &sku, int id);
    QRadioButton *radio(AbstractProduct *product)
    {
        return product->row->findChild<QRadioButton *>(QStringLiteral("radioButton"));
    }
    void press(AbstractProduct *product)
    {
        QTest::mousePress(product->row, Qt::LeftButton, {}, QPoint(300, 30));
    }

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
    auto *product
        = new VelmoraProduct(QJsonObject { { "name", "Lake " + sku }, { "sku", sku }, { "product_id", id } });
    product->productType = VelmoraRegion;
    products.append(product);
    group->addProduct(id, product);
    const QJsonObject subscription { { "device_id", QString() } };
    group->addSubscription(id, id * 10, &subscription);
    product->createRow(list, group->getButtonGroup());
    return product;
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

    const QString tooLong = QStringLiteral(
        "Lakes of the Northern Highlands with every bay, inlet and reservoir charted in depth");
    products << new VelmoraProduct(QJsonObject { { "name", tooLong }, { "sku", "VM-9" } });
    products.last()->createRow(content, group->getButtonGroup());
    QLabel *longName = products.last()->row->findChild<QLabel *>(QStringLiteral("productName"));
    QTRY_VERIFY(longName->text().endsWith(QChar(0x2026)));
    QCOMPARE(longName->toolTip(), tooLong);

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
    QVERIFY(radio(first)->isChecked() && first->selected);
    QCOMPARE(group->getSelectedProduct(), first);
    // The chosen row is already the choice: pressing it again asks nothing.
    press(first);
    QTest::mouseClick(radio(first), Qt::LeftButton);
    QCOMPARE(asked.count(), 1);

    // The other row's own radio button works the same way.
    QTest::mouseClick(radio(second), Qt::LeftButton);
    QCOMPARE(chosen.last().at(0).toInt(), 2);
    QVERIFY(!radio(first)->isChecked() && !first->rowHighlighted && !first->selected);
    QCOMPARE(group->getSelectedProducts(), QList<AbstractProduct *> { second });
    press(first);
    QCOMPARE(asked.count(), 2);

    group->clearSelections();
    QVERIFY(!group->getButtonGroup()->checkedButton() && !second->rowHighlighted);
    QVERIFY2(group->isExclusive(), "exclusivity comes back after clearing");

    // While a download runs the rows ignore presses, and answer again after.
    group->setDisabled(true);
    press(first);
    QTest::mouseClick(radio(first), Qt::LeftButton);
    QCOMPARE(asked.count(), 2);
    QVERIFY(!first->selected);
    group->setDisabled(false);
    press(first);
    QCOMPARE(asked.count(), 3);
}

QTEST_MAIN(TestProductWidgets)
#include "tst_productwidgets.moc"
