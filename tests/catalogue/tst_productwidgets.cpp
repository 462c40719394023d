// A product's name must fit its row: cut with an ellipsis and shown whole as
// a tooltip when the row is too narrow, whole again when it widens.
#include <QJsonObject>
#include <QLabel>
#include <QScrollArea>
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
    void namesUseTheRoomTheRowHas();
};

void TestProductWidgets::namesUseTheRoomTheRowHas()
{
    prepareStartup();
    installApplicationFont();
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
    VelmoraProduct product(QJsonObject { { "name", tooLong }, { "sku", "VM-9" } });
    ProductGroup group(QStringLiteral("velmora_region"), true, nullptr);
    product.createRow(content, group.getButtonGroup());
    QLabel *name = product.row->findChild<QLabel *>(QStringLiteral("productName"));
    QTRY_VERIFY(name->text().endsWith(QChar(0x2026)));
    QCOMPARE(name->toolTip(), tooLong);

    window.resize(1800, 400);
    QTRY_COMPARE(name->text(), tooLong);
    QVERIFY(name->toolTip().isEmpty());
}

QTEST_MAIN(TestProductWidgets)
#include "tst_productwidgets.moc"
