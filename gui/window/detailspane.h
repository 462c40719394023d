#pragma once

#include <QMap>
#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QString>

#include "catalogue/product.h"
#include "catalogue/productinfo.h"
#include "catalogue/productstatus.h"

class QWidget;
namespace Ui {
class NewWindow;
}

// The side bar under the card panel: a product's name, picture, status,
// quantity, note and description, and the button that acts on it, whose
// text and visibility follow the product's status for the chosen card.
class DetailsPane : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DetailsPane)

public:
    DetailsPane(Ui::NewWindow *ui, QObject *parent);

    // The pane as it is with no product: everything hidden, the button too.
    void clear();
    // info: null while the product's details are on their way (the busy
    // animation shows).
    void showProduct(const Product &product, const ProductInfo *info, const QPixmap &picture,
                     ProductStatus::Code code, const QMap<ProductStatus::Code, int> &counts);
    // The RQ card's chart: its build, the build an update brings, status and note.
    void showChart(const Product &product, const QPixmap &picture, ProductStatus::ChartStatus status,
                   const QString &cardBuild);

    // The button's word; empty hides it.
    void offer(const QString &action);
    QString offered() const;
    // The product name is cut to the pane's width again after a resize.
    void relayout();

private:
    void showName(const QString &name);
    void showPicture(const Product &product, const QPixmap &picture);
    void setInfoWidget(QWidget *widget);

    Ui::NewWindow *ui;
    QString fullName;
};
