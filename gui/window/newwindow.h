#pragma once

#include <QHash>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QSystemTrayIcon>

#include "catalogue/product.h"
#include "catalogue/productstatus.h"
#include "catalogue/rqcardplan.h"

class Account;
class QAction;
class CardEjector;
class CardModel;
class CardPanel;
class Catalogue;
class ChartService;
class DesktopNotifier;
class DetailsPane;
class Job;
class JobController;
class ProductInfoCache;
class ProductList;
class QCloseEvent;

class QResizeEvent;
class RefreshButton;
struct ServiceError;

namespace Ui {
class NewWindow;
}

// The application's only main window: the three product tabs, the card
// panel, the details side bar, the download area and the tray icon. It
// observes: what a product is for the card comes from the catalogue and the
// card model (ProductStatus), what a job does from the job (JobController);
// the window decides what each event means for the others and shows it.
class NewWindow : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NewWindow)

public:
    NewWindow(ChartService *service, Account *account, QWidget *parent = nullptr);
    ~NewWindow() override;

    ProductTypeEnum currentLine() const;
    CardModel *cardModel() const { return card; }
    Catalogue *catalogue() const { return products; }
    JobController *jobs() const { return control; }
    CardPanel *cardPanel() const { return panel; }
    ProductList *productList(ProductTypeEnum line) const { return lists.value(line); }
    QSystemTrayIcon *trayIcon() const { return tray; }
    DesktopNotifier *desktopNotifier() const { return notifier; }
    // The line of the product on the chosen card.
    ProductTypeEnum cardLine() const;
    // The question asked when the window is closed while a job is unfinished.
    QMessageBox *closeQuestion() const { return closing; }

signals:
    void quitRequested();
    void aboutRequested();
    void signOutRequested();
    // The service no longer takes the session: the user must sign in again.
    void signInAgainRequested();

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // Catalogue.
    void handleProductsArrived();
    void handleProductsFailed(const ServiceError &error);
    void handleSubscriptionsArrived(ProductTypeEnum line);
    void refreshLine();
    void showLine(int index);
    void setMoreProductsLink(int index);

    // Card.
    void chooseOfferedCard(const QString &mediaFile);
    void browseForCard();
    void handleCardChoice(int choice);
    void handleCardLost();
    // While a job has the card: it is out, or another card is in its place.
    void sayCardAway();
    void handleCardBack();
    void handleCardState();
    // Asks the service again for the bindings of the product the card
    // names when they do not bind it to this card: another program put it
    // there since they were read.
    void catchUpWithCard();

    // Rows and details.
    void showStatuses();
    void showRqCard();
    void chooseProduct(int productId);
    void showDetails();
    void pressAction();

    // Jobs.
    void setLocked(bool locked);
    void handleJobEnded(Job *job);
    void handleRqCardPrepared(Job *job);

    void buildMenu(QAction *about, QAction *quit);
    // The card's Eject button: offered while a card is chosen and no job
    // runs, pressed for the user's attention when a job ends proven.
    void showEject();
    void eject();
    // Tab goes from the tabs through the rows to the card, the button, the
    // job's buttons and the menu, whatever was created when.
    void fixTabOrder();
    void showMessage(const QString &text, bool rich = false);
    // After the service turned the session down and the user was told: the
    // window cannot do anything more for them until they sign in again.
    void leaveForSignIn();
    void showVersion();
    void bringForward();

    Ui::NewWindow *ui;
    ChartService *service;
    Account *account;
    Catalogue *products;
    CardModel *card;
    CardPanel *panel;
    DetailsPane *details;
    ProductInfoCache *infos;
    JobController *control;
    RefreshButton *refreshButton;
    QSystemTrayIcon *tray;
    DesktopNotifier *notifier;
    CardEjector *ejector;
    QPushButton *ejectButton;
    QHash<ProductTypeEnum, ProductList *> lists;
    QPointer<QMessageBox> closing;
    // The product in the details pane (0: none) and the RQ card's plan.
    int shownId = 0;
    ProductTypeEnum shownLine = NoProductType;
    RqCardPlan rqPlan;
    bool rqPrepared = false;
    // Card and product pairs catchUpWithCard() asked about: once each.
    QSet<QString> caughtUp;
    bool signInAsked = false;
};
