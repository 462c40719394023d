#pragma once

#include <QObject>
#include <QString>

#include "widgets/abstractproduct.h"
#include "card/mikfile.h"

class CardPanel;
class CatalogueLoader;
class DetailsPane;
class DownloadControl;
namespace Ui {
class NewWindow;
}

// Recognises an RQ chart card by the containers at its root: the card's RQ
// product gets its row and its chart status, a card the service does not
// know yet is registered, and a card whose container was lost has it
// rebuilt from the service.
class RqCardScan : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RqCardScan)

public:
    RqCardScan(Ui::NewWindow *ui, CardPanel *card, CatalogueLoader *catalogue, DetailsPane *details,
               DownloadControl *control, QString sessionId, QObject *parent);

    // True when the chosen card holds a container of a known RQ product, or
    // one is being rebuilt for it.
    bool scan();
    void setChartStatus(AbstractProduct::ChartUpdateStatus status);
    void offerButton();

    // The downloaders hold the container's address, so it is a member that
    // is assigned to, never replaced.
    Mik::MikFile container;
    AbstractProduct::ChartUpdateStatus chartUpdateStatus = AbstractProduct::UpToDate;
    QString matchedRqSku;

signals:
    void errorReported(const QString &sku, const QString &msg);
    void cardRegistered();
    void containerRestored();

private:
    void findMatchedRqSku();
    void startRegistration(AbstractProduct *product);
    bool startRestoration();

    Ui::NewWindow *ui;
    CardPanel *card;
    CatalogueLoader *catalogue;
    DetailsPane *details;
    DownloadControl *control;
    QString sessionId;
};
