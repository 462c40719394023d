#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include "catalogue/product.h"

class ProductRow;
class QWidget;

// The rows of one line's tab: one per product shown, in the catalogue's
// order, at most one of them the choice. The rows show what they are told
// (the product, its status word); what a status is, is the window's
// business (ProductStatus).
class ProductList : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProductList)

public:
    // rowParent: the widget whose layout takes the rows.
    ProductList(QWidget *rowParent, QObject *parent);

    // The rows become these products; the choice stays when its product does.
    void setProducts(const QList<Product> &products);
    QList<Product> products() const;
    bool contains(int productId) const { return rows.contains(productId); }
    ProductRow *row(int productId) const { return rows.value(productId); }
    QList<ProductRow *> rowsInOrder() const;
    void setStatus(int productId, const QString &word);

    int chosenId() const { return chosen; }
    void choose(int productId);
    void clearChoice();
    void setLocked(bool locked);

signals:
    void productChosen(int productId);
    void rowsChanged();

private:
    void moveFocus(ProductRow *from, int step);

    QWidget *parentWidget;
    QList<int> order;
    QHash<int, ProductRow *> rows;
    int chosen = 0;
    bool locked = false;
};
