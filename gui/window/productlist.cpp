#include "window/productlist.h"

#include <QLayout>
#include <QWidget>

#include "widgets/productrow.h"

ProductList::ProductList(QWidget *rowParent, QObject *parent)
    : QObject(parent)
    , parentWidget(rowParent)
{
}

void ProductList::setProducts(const QList<Product> &products)
{
    QHash<int, ProductRow *> kept;
    QList<int> newOrder;
    for (const Product &product : products) {
        ProductRow *row = rows.take(product.productId);
        if (row) {
            row->setProduct(product);
        } else {
            row = new ProductRow(product, parentWidget);
            row->setLocked(locked);
            connect(row, &ProductRow::chosen, this, &ProductList::productChosen);
            connect(row, &ProductRow::focusStep, this, [this, row](int step) { moveFocus(row, step); });
        }
        kept.insert(product.productId, row);
        newOrder.append(product.productId);
    }
    for (ProductRow *gone : std::as_const(rows))
        delete gone;
    rows = kept;
    order = newOrder;
    // The layout follows the catalogue's order.
    if (QLayout *layout = parentWidget->layout()) {
        for (int id : std::as_const(order))
            layout->removeWidget(rows.value(id));
        for (int id : std::as_const(order))
            layout->addWidget(rows.value(id));
    }
    if (!rows.contains(chosen))
        chosen = 0;
    emit rowsChanged();
}

void ProductList::moveFocus(ProductRow *from, int step)
{
    const int at = int(order.indexOf(from->productId())) + step;
    if (at >= 0 && at < order.size())
        rows.value(order.at(at))->setFocus(Qt::TabFocusReason);
}

QList<ProductRow *> ProductList::rowsInOrder() const
{
    QList<ProductRow *> found;
    for (int id : order)
        found.append(rows.value(id));
    return found;
}

QList<Product> ProductList::products() const
{
    QList<Product> found;
    for (int id : order)
        found.append(rows.value(id)->product());
    return found;
}

void ProductList::setStatus(int productId, const QString &word)
{
    if (ProductRow *row = rows.value(productId))
        row->setStatusText(word);
}

void ProductList::choose(int productId)
{
    chosen = rows.contains(productId) ? productId : 0;
    for (ProductRow *row : std::as_const(rows))
        row->setHighlighted(row->productId() == chosen);
}

void ProductList::clearChoice()
{
    choose(0);
}

void ProductList::setLocked(bool on)
{
    locked = on;
    for (ProductRow *row : std::as_const(rows))
        row->setLocked(on);
}
