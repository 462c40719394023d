#pragma once

#include <QFrame>
#include <QLabel>
#include <QString>

#include "catalogue/product.h"

class QAbstractButton;
class QKeyEvent;
class QMouseEvent;
class QResizeEvent;

namespace Ui {
class ProductRow;
}

// One owned product in a line's list: a radio button with the product's
// name, item number, status and size.
class ProductRow : public QFrame
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProductRow)

public:
    ProductRow(const Product &product, QWidget *parent);
    ~ProductRow() override;

    int productId() const { return item.productId; }
    const Product &product() const { return item; }
    void setProduct(const Product &product);
    QAbstractButton *button() const;

    void setStatusText(const QString &text);
    QString statusText() const { return status; }
    // The row of the product shown in the details.
    void setHighlighted(bool on);
    bool isHighlighted() const { return highlighted; }
    void setLocked(bool locked);

signals:
    // Pressed by the user (not while locked, not when it already is the choice).
    void chosen(int productId);
    // Up or Down pressed while the row has the focus: the list moves it.
    void focusStep(int step);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void press();
    void setElided(QLabel *label, const QString &text);

    Ui::ProductRow *ui;
    Product item;
    QString status;
    bool highlighted = false;
    bool locked = false;
};
