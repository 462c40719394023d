#pragma once

#include <QObject>
#include <QString>

#include "widgets/abstractproduct.h"

namespace Ui {
class NewWindow;
}

// The side bar under the card panel: a product's name, picture, status,
// quantity, note and description, and the "Download" button whose text and
// visibility follow the product's status for the chosen card.
class DetailsPane : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DetailsPane)

public:
    DetailsPane(Ui::NewWindow *ui, QObject *parent);

    // The pane as it is with no product: everything hidden, the button too.
    void clear();
    // The busy animation while the product's information is on its way.
    void showLoading();
    // Name, picture and description; for a Velmora or Talvo product also its
    // status, quantity and note for the card.
    void showProduct(AbstractProduct *product, const QString &rawMediaId, const QString &skuOnCard,
                     ProductTypeEnum cardType);
    // The RQ card's build, status and note.
    void showChartStatus(AbstractProduct::ChartUpdateStatus status, const QString &buildReference);

    void setDownloadButton(const QString &text, bool offered);
    // The button a status code offers: "Download", "Replace", "Redownload",
    // or none.
    void offerForStatus(AbstractProduct *product, int code);
    // The button for the RQ card's chart status.
    void offerForChartStatus(AbstractProduct::ChartUpdateStatus status);
    // The product name is cut to the pane's width again after a resize.
    void relayout();

    static QString statusNote(int code);

private:
    void replaceInfoWidget(QWidget *widget);

    Ui::NewWindow *ui;
    QString fullName;
};
