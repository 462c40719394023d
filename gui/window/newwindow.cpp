#include "window/newwindow.h"
#include "ui_newwindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QToolButton>
#include <QUrl>
#include <QFile>
#include <QLayout>
#include <QMenu>
#include <QMessageBox>
#include <QScrollBar>
#include <QTabBar>

#include "base/appglobals.h"
#include "base/settings.h"
#include "card/cardejector.h"
#include "card/cardmodel.h"
#include "catalogue/catalogue.h"
#include "dialogs/about.h"
#include "dialogs/settingsdialog.h"
#include "shell/desktopnotifier.h"
#include "download/job.h"
#include "download/registrationjob.h"
#include "service/account.h"
#include "service/chartservice.h"
#include "widgets/productrow.h"
#include "widgets/refreshbutton.h"
#include "widgets/wrappabletext.h"
#include "window/cardpanel.h"
#include "window/detailspane.h"
#include "window/jobcontroller.h"
#include "window/jobrow.h"
#include "window/jobtext.h"
#include "window/productinfocache.h"
#include "window/productlist.h"

namespace {
// A row's smallest width (productrow.ui) and a scroll bar.
constexpr int minimumListWidth = 470 + 20;
} // namespace

NewWindow::NewWindow(ChartService *chartService, Account *userAccount, QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::NewWindow)
    , service(chartService)
    , account(userAccount)
{
    ui->setupUi(this);
    ui->rqScrollWidget->layout()->setAlignment(Qt::AlignTop);
    ui->vmScrollWidget->layout()->setAlignment(Qt::AlignTop);
    ui->tvScrollWidget->layout()->setAlignment(Qt::AlignTop);
    ui->catalogueMessage->hide();
    ui->noRqTooltipLabel->hide();
    // The list is as narrow as a row can be and no narrower: names are cut
    // with an ellipsis, but the status and size stay, and so do the tabs'
    // words. A list wider than its rows leaves the room on the right
    // rather than pulling a row's columns apart.
    for (QScrollArea *area : std::initializer_list<QScrollArea *>{ui->rqScrollArea, ui->vmScrollArea, ui->tvScrollArea})
        area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ui->tabWidget->setMinimumWidth(minimumListWidth);

    products = new Catalogue(service, this);
    products->setSession(account->sessionId());
    card = new CardModel(this);
    panel = new CardPanel(ui, card, this);
    details = new DetailsPane(ui, this);
    infos = new ProductInfoCache(service, this);

    tray = new QSystemTrayIcon(QIcon(QStringLiteral(":/icons/appIconPng")), this);
    auto *quitAction = new QAction(QStringLiteral("Quit"), this);
    auto *showAction = new QAction(tr("Show"), this);
    auto *aboutAction = new QAction(tr("About"), this);
    auto *trayMenu = new QMenu(this);
    trayMenu->addAction(showAction);
    trayMenu->addAction(aboutAction);
    trayMenu->addSeparator();
    trayMenu->addAction(quitAction);
    tray->setContextMenu(trayMenu);
    tray->show();
    buildMenu(aboutAction, quitAction);

    notifier = new DesktopNotifier(this, tray, this);
    ejector = new CardEjector(this);
    ejectButton = new QPushButton(tr("&Eject"), this);
    ejectButton->setObjectName(QStringLiteral("ejectBtn"));
    ejectButton->setToolTip(tr("Unmount the SD card so that it can be taken out safely"));
    ejectButton->setCursor(Qt::PointingHandCursor);
    // Styled as the card's other button, which the form's sheet names.
    ejectButton->setStyleSheet(QStringLiteral(
        "QPushButton { background-color: #787878; color: white; border: none; padding: 6px 12px; }"
        "QPushButton:hover { background-color: #8a8a8a; }"
        "QPushButton:focus { border: 2px solid #FDB924; }"
        "QPushButton:disabled { background-color: #606060; color: #a0a0a0; }"));
    ui->sdSelLayout->insertWidget(1, ejectButton);
    ejectButton->hide();
    control = new JobController(ui, service, products, card, tray, this);
    control->setSession(account->sessionId());

    lists.insert(RqSd, new ProductList(ui->rqScrollWidget, this));
    lists.insert(VelmoraRegion, new ProductList(ui->vmScrollWidget, this));
    lists.insert(Talvos, new ProductList(ui->tvScrollWidget, this));
    for (ProductList *list : std::as_const(lists)) {
        connect(list, &ProductList::productChosen, this, &NewWindow::chooseProduct);
        connect(list, &ProductList::rowsChanged, this, &NewWindow::fixTabOrder);
    }

    // The copyright belongs to the About dialog, not to every title bar.
    setWindowTitle(QStringLiteral("Quorvel Download Tool"));
    ui->versionLabel->setText(QStringLiteral("Version: ") + appVersionText());

    for (int i = 0; i < ui->tabWidget->count(); ++i)
        ui->tabWidget->setTabEnabled(i, true);
    Settings settings(configFilePath);
    bool ok = false;
    const uint storedTab = settings.valueOrInit(SettingsKeys::tab, QString()).toUInt(&ok);
    // Connected only afterwards: the stored tab is restored, not "selected".
    ui->tabWidget->setCurrentIndex(ok && storedTab < uint(ui->tabWidget->count()) ? int(storedTab) : 0);
    setMoreProductsLink(ui->tabWidget->currentIndex());
    refreshButton = new RefreshButton(currentLine(), ui->tabWidget);
    refreshButton->setProductType(currentLine());
    ui->tabWidget->setCornerWidget(refreshButton, Qt::TopRightCorner);

    connect(tray, &QSystemTrayIcon::messageClicked, this, &NewWindow::bringForward);
    connect(showAction, &QAction::triggered, this, &NewWindow::bringForward);
    connect(aboutAction, &QAction::triggered, this, &NewWindow::aboutRequested);
    // A click on the icon brings the window; hiding it is what closing the
    // window does (the tray keeps the tool).
    connect(tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            bringForward();
    });
    connect(quitAction, &QAction::triggered, this, [this] {
        tray->hide();
        // Answering "No" keeps the tool running, and a running tool without
        // its icon could not be quit from the tray again.
        if (!close())
            tray->show();
    });
    connect(refreshButton, &RefreshButton::refreshSubscriptions, this, &NewWindow::refreshLine);
    connect(ui->tabWidget, &QTabWidget::tabBarClicked, this, &NewWindow::setMoreProductsLink);
    connect(ui->tabWidget, &QTabWidget::currentChanged, this, &NewWindow::showLine);
    connect(ui->sdSelBtn, &QPushButton::clicked, this, &NewWindow::browseForCard);
    connect(ui->noRQBtn, &QPushButton::clicked, this, &NewWindow::browseForCard);
    connect(ui->downloadBtn, &QPushButton::clicked, this, &NewWindow::pressAction);
    connect(ejectButton, &QPushButton::clicked, this, &NewWindow::eject);
    connect(ejector, &CardEjector::finished, this, [this](const CardEjector::Result &result) {
        ejectButton->setText(tr("&Eject"));
        setLocked(control->busy());
        if (!result.ok()) {
            showMessage(result.message);
            return;
        }
        // The card is no longer chosen, and is not offered again until it
        // is put in again.
        panel->forget(false);
        panel->say(tr("You can now remove the card."));
    });

    connect(products, &Catalogue::productsArrived, this, &NewWindow::handleProductsArrived);
    connect(products, &Catalogue::productsFailed, this, &NewWindow::handleProductsFailed);
    connect(products, &Catalogue::subscriptionsArrived, this, &NewWindow::handleSubscriptionsArrived);
    connect(products, &Catalogue::subscriptionsFailed, this, [this](ProductTypeEnum,
                                                                   const ServiceError &error) {
        // Other failures leave the list as it was, to be refreshed; a session
        // turned down would fail every refresh alike.
        if (!error.isSessionRefused())
            return;
        showMessage(error.message.isEmpty() ? tr("Your session has expired. Please sign in again.")
                                            : error.message);
        leaveForSignIn();
    });
    connect(products, &Catalogue::productChanged, this, [this] {
        showStatuses();
        showDetails();
    });
    connect(infos, &ProductInfoCache::updated, this, [this](const QString &sku) {
        if (shownId && products->product(shownId).sku == sku)
            showDetails();
    });

    connect(card, &CardModel::changed, this, &NewWindow::handleCardState);
    connect(panel, &CardPanel::cardOffered, this, &NewWindow::chooseOfferedCard);
    connect(panel, &CardPanel::cardPicked, this, [this](const QString &mediaFile) {
        if (control->busy())
            return;
        panel->say(QString());
        handleCardChoice(int(panel->choose(mediaFile)));
    });
    connect(panel, &CardPanel::chosenCardLost, this, &NewWindow::handleCardLost);
    connect(panel, &CardPanel::chosenCardBack, this, &NewWindow::handleCardBack);

    connect(control, &JobController::busyChanged, this, &NewWindow::setLocked);
    connect(control, &JobController::busyChanged, this, &NewWindow::fixTabOrder);
    connect(control, &JobController::ended, this, &NewWindow::handleJobEnded);
    connect(control, &JobController::rqCardPrepared, this, &NewWindow::handleRqCardPrepared);
    connect(control, &JobController::paused, this, [this](Job *job) {
        switch (job->pauseReason()) {
        case Job::PauseReason::CardGone:
            sayCardAway();
            break;
        case Job::PauseReason::NetworkLost:
            notifier->notify(JobText::endTitle(*job, control->currentKind(), 0),
                              JobText::status(*job, control->currentKind()));
            break;
        case Job::PauseReason::Error:
            notifier->notify(JobText::endTitle(*job, control->currentKind(), 0), JobText::errorList(*job));
            if (isVisible())
                showMessage(JobText::errorList(*job));
            break;
        case Job::PauseReason::User:
        case Job::PauseReason::None:
            break;
        }
    });
    connect(control, &JobController::statusChanged, this, [this] {
        // A line about the card that no longer holds: the job went on.
        if (control->current() && !control->current()->isPaused() && control->current()->isUnfinished())
            panel->say(QString());
    });

    products->loadProducts();
    showVersion();
    handleCardChoice(int(panel->chooseRemembered()));
    panel->watcher()->start();
}

NewWindow::~NewWindow()
{
    panel->watcher()->stop();
    // The jobs and their rows go before the form whose widgets hold them.
    delete control;
    qDeleteAll(lists);
    lists.clear();
    // It filters the card list's events, which the form's widgets still
    // send as they go: it must not outlive the form it reads them through.
    delete panel;
    panel = nullptr;
    delete ui;
}

ProductTypeEnum NewWindow::currentLine() const
{
    return ProductTypeEnum(ui->tabWidget->currentIndex());
}

ProductTypeEnum NewWindow::cardLine() const
{
    const CardState &state = card->state();
    if (!state.isValid())
        return NoProductType;
    for (const CardState::Container &container : state.containers()) {
        if (products->productBySku(container.chartName).line == RqSd)
            return RqSd;
    }
    return products->lineOf(state.productSku());
}

void NewWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    panel->relayout();
    details->relayout();
}

void NewWindow::bringForward()
{
    show();
    raise();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    activateWindow();
}

void NewWindow::showMessage(const QString &text, bool rich)
{
    // A card's path in a message is often longer than the box may be wide.
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Quorvel Download Tool"),
                    rich ? text : wrappableText(text), QMessageBox::Ok, this);
    box.setTextFormat(rich ? Qt::RichText : Qt::PlainText);
    box.exec();
}

void NewWindow::showVersion()
{
    ServiceCall<VersionInfo> *call = service->version();
    connect(call, &ServiceReply::finished, this, [this, call] {
        // A failed request is older than any version: the line then simply
        // shows this build's version.
        const VersionInfo latest = call->ok() ? call->value() : VersionInfo();
        const QString versionText = appVersionText();
        const double difference = versionDifference(versionText, latest);
        if (difference < 0) {
            ui->updateLnk->setText(QStringLiteral("(<a href=\"") + latest.downloadUrl.toHtmlEscaped()
                                   + QStringLiteral("\" style=\"color:#FFFFFF\">Update Available</a>)"));
            ui->versionLabel->setText(QStringLiteral("Version ") + versionText);
        } else if (difference > 0) {
            ui->versionLabel->setText(QStringLiteral("Version: ") + versionText);
        } else {
            ui->updateLnk->hide();
        }
    });
}

void NewWindow::buildMenu(QAction *about, QAction *quit)
{
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("mainMenu"));
    menu->addAction(about);
    QAction *settings = menu->addAction(tr("Settings\u2026"));
    settings->setObjectName(QStringLiteral("settingsAction"));
    QAction *logs = menu->addAction(tr("Open Log Folder"));
    logs->setObjectName(QStringLiteral("logFolderAction"));
    menu->addSeparator();
    QAction *signOut = menu->addAction(tr("Sign Out"));
    signOut->setObjectName(QStringLiteral("signOutAction"));
    menu->addAction(quit);
    connect(settings, &QAction::triggered, this, [this] {
        SettingsDialog dialog(this);
        dialog.exec();
    });
    connect(logs, &QAction::triggered, this, [] {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(logFilePath).absolutePath()));
    });
    connect(signOut, &QAction::triggered, this, [this] {
        if (control->busy()) {
            showMessage(tr("A job is not finished on the SD card. Cancel it first, or let it end, then sign out."));
            return;
        }
        emit signOutRequested();
    });

    auto *button = new QToolButton(this);
    button->setObjectName(QStringLiteral("menuButton"));
    button->setText(tr("&Menu"));
    button->setToolTip(tr("About, settings, the log, sign out"));
    button->setPopupMode(QToolButton::InstantPopup);
    button->setMenu(menu);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral(
        "QToolButton#menuButton { background-color: #787878; color: white; border: none; padding: 4px 12px;"
        " font-weight: bold; }"
        "QToolButton#menuButton:hover, QToolButton#menuButton:focus { background-color: #FDB924; color: #242424; }"
        "QToolButton#menuButton::menu-indicator { image: none; }"));
    ui->headerLayout->insertWidget(1, button);
}

void NewWindow::fixTabOrder()
{
    QList<QWidget *> chain{ui->tabWidget->tabBar()};
    if (ProductList *list = lists.value(currentLine())) {
        for (ProductRow *row : list->rowsInOrder())
            chain << row;
    }
    chain << ui->noRQBtn;
    if (auto *refresh = refreshButton->findChild<QToolButton *>())
        chain << refresh;
    chain << ui->sdSelBtn << ejectButton << ui->sdCardList << ui->downloadBtn;
    if (auto *row = findChild<JobRow *>(QStringLiteral("jobRow")))
        chain << row->findChild<QWidget *>(QStringLiteral("pauseButton")) << row->findChild<QWidget *>(QStringLiteral("cancelButton"));
    chain << findChild<QToolButton *>(QStringLiteral("menuButton"));
    chain.removeAll(nullptr);
    for (int i = 1; i < chain.size(); ++i)
        QWidget::setTabOrder(chain.at(i - 1), chain.at(i));
}

// ---------------------------------------------------------------- catalogue

void NewWindow::setMoreProductsLink(int index)
{
    const QString base = service->baseUrl();
    if (index == RqSd)
        ui->moreProductsLnk->setText(QStringLiteral("<a style=\"color:#FFFFFF\" href=\"") + base
                                     + QStringLiteral("/rqinstructions\">Click here to learn how to update RQ Chart Cards</a>"));
    else
        ui->moreProductsLnk->setText(QStringLiteral("<a style=\"color:#FFFFFF\" href=\"") + base
                                     + QStringLiteral("/legacy\">Click here for more Legacy Chart Products</a>"));
}

void NewWindow::handleProductsArrived()
{
    ui->catalogueMessage->hide();
    showLine(ui->tabWidget->currentIndex());
    if (card->state().isRqCard() && !products->subscriptionsLoaded(RqSd) && currentLine() != RqSd)
        products->loadSubscriptions(RqSd);
}

void NewWindow::handleProductsFailed(const ServiceError &error)
{
    // Empty tabs would say nothing; the user needs to know the list did not
    // come and that asking again is possible.
    QString reason = error.message;
    if (error.kind == ServiceError::Network)
        reason = QStringLiteral("No connection to the chart service");
    else if (reason.isEmpty())
        reason = QStringLiteral("Error: %1").arg(error.status);
    const QString text = QStringLiteral("Your products could not be loaded (%1). Check your internet connection, "
                                        "then press the refresh button to try again.")
                             .arg(reason);
    ui->catalogueMessage->setText(text.toHtmlEscaped());
    ui->catalogueMessage->show();
    showMessage(text);
    if (error.isSessionRefused())
        leaveForSignIn();
}

void NewWindow::showLine(int index)
{
    if (index < 0)
        return;
    const ProductTypeEnum line = ProductTypeEnum(index);
    if (shownLine != line) {
        shownId = 0;
        for (ProductList *list : std::as_const(lists))
            list->clearChoice();
        details->clear();
        control->clearFinished();
    }
    refreshButton->setProductType(line);
    Settings settings(configFilePath);
    settings.setValue(SettingsKeys::tab, QString::number(index));
    setMoreProductsLink(index);
    fixTabOrder();
    if (products->productsLoaded() && !products->subscriptionsLoaded(line))
        products->loadSubscriptions(line);
    // The RQ card's own row is its choice: the tab opens on it.
    if (line == RqSd && (rqPlan.step == RqCardPlan::Ready || rqPlan.step == RqCardPlan::Register))
        chooseProduct(rqPlan.product.productId);
}

void NewWindow::refreshLine()
{
    // After a failed product list there are no products to attach
    // subscriptions to: the list itself is what to ask for again.
    if (!products->productsLoaded()) {
        ui->catalogueMessage->setText(tr("Loading your products\u2026"));
        products->loadProducts();
        return;
    }
    const ProductTypeEnum line = currentLine();
    products->loadSubscriptions(line);
    shownId = 0;
    lists.value(line)->clearChoice();
    details->clear();
    control->clearFinished();
    const QHash<ProductTypeEnum, QScrollArea *> areas{
        {RqSd, ui->rqScrollArea}, {VelmoraRegion, ui->vmScrollArea}, {Talvos, ui->tvScrollArea}};
    if (QScrollArea *area = areas.value(line))
        area->verticalScrollBar()->setValue(0);
}

void NewWindow::handleSubscriptionsArrived(ProductTypeEnum line)
{
    if (line != RqSd)
        lists.value(line)->setProducts(products->owned(line));
    // What the service now says of the card's products is read against
    // the card as it is now; while a job writes, its end reads it.
    if (!control->busy())
        card->refresh();
    showStatuses();
    showRqCard();
    showDetails();
}

// ---------------------------------------------------------------- card

void NewWindow::browseForCard()
{
    panel->say(QString());
    handleCardChoice(int(panel->browse()));
}

void NewWindow::handleCardChoice(int choice)
{
    switch (CardPanel::Choice(choice)) {
    case CardPanel::Choice::Valid:
        rqPrepared = false;
        control->clearFinished();
        break;
    case CardPanel::Choice::NoCard:
        break;
    case CardPanel::Choice::Invalid:
        showMessage(QStringLiteral("Invalid Media ID file"));
        break;
    }
}

void NewWindow::chooseOfferedCard(const QString &mediaFile)
{
    if (control->busy())
        return;
    if (panel->choose(mediaFile) == CardPanel::Choice::Valid) {
        rqPrepared = false;
        control->clearFinished();
        panel->say(tr("Card found and chosen for you."));
    }
}

void NewWindow::handleCardLost()
{
    if (control->busy()) {
        // Waiting for a write to fail could take a while and would then
        // report every file at once; the user only needs to put it back.
        control->cardLost();
        sayCardAway();
        return;
    }
    // Said first: a card still in a reader is chosen in its place at once,
    // and what is said then is about that card.
    panel->say(tr("The SD card was taken out."));
    control->clearFinished();
    panel->forget();
}

void NewWindow::sayCardAway()
{
    // Said again once the job has settled on why (it pauses then).
    const Job *job = control->current();
    if (job && job->leadingError().kind == JobError::AnotherCard)
        panel->say(tr("Another SD card is in place of the chosen one. Put the chosen card back, then press Resume."));
    else
        panel->say(tr("The SD card was taken out. Put it back, then press Resume."));
}

void NewWindow::handleCardBack()
{
    if (control->busy()) {
        control->cardBack();
        panel->say(tr("The SD card is back. Press Resume to go on."));
        return;
    }
    if (!panel->chosenCard().isValid() && panel->chooseRemembered() == CardPanel::Choice::Valid)
        panel->say(tr("The SD card is back."));
}

void NewWindow::showEject()
{
    ejectButton->setVisible(card->hasCard());
    ejectButton->setEnabled(card->hasCard() && !control->busy() && !ejector->isRunning());
}

void NewWindow::eject()
{
    if (control->busy() || !card->hasCard() || ejector->isRunning())
        return;
    ejectButton->setText(tr("Ejecting\u2026"));
    ejectButton->setEnabled(false);
    panel->setLocked(true);
    ejector->eject(panel->chosenCard().root());
}

void NewWindow::handleCardState()
{
    showEject();
    const CardState &state = card->state();
    if (state.isRqCard() && products->productsLoaded() && !products->subscriptionsLoaded(RqSd))
        products->loadSubscriptions(RqSd);
    panel->showState(cardLine());
    catchUpWithCard();
    showStatuses();
    showRqCard();
    showDetails();
}

void NewWindow::catchUpWithCard()
{
    // A job of this window binds what it activates as it goes.
    const CardState &state = card->state();
    if (control->busy() || !state.isValid() || state.productSku().isEmpty())
        return;
    const Product named = products->productBySku(state.productSku());
    if (!named.isValid() || named.line == RqSd || !products->subscriptionsLoaded(named.line))
        return;
    for (const Subscription &subscription : named.subscriptions) {
        if (subscription.boundMediaId() == state.mediaId())
            return;
    }
    // Asked once: a card really copied from another one stays as the
    // service says, and is not asked about at every reading.
    const QString pair = state.mediaId() + QLatin1Char('\n') + named.sku;
    if (caughtUp.contains(pair))
        return;
    caughtUp.insert(pair);
    products->loadSubscriptions(named.line);
}

// ---------------------------------------------------------------- rows and details

void NewWindow::showStatuses()
{
    const CardState &state = card->state();
    const ProductTypeEnum onCard = cardLine();
    for (ProductTypeEnum line : {VelmoraRegion, Talvos}) {
        ProductList *list = lists.value(line);
        for (const Product &shown : list->products()) {
            const Product product = products->product(shown.productId);
            list->setStatus(shown.productId, ProductStatus::word(ProductStatus::of(product, state, onCard)));
        }
    }
}

void NewWindow::showRqCard()
{
    const CardState &state = card->state();
    rqPlan = RqCardPlan::decide(products->products(RqSd), state);
    ProductList *list = lists.value(RqSd);
    const bool row = rqPlan.step == RqCardPlan::Ready || rqPlan.step == RqCardPlan::Register;
    list->setProducts(row ? QList<Product>{rqPlan.product} : QList<Product>());
    if (row)
        list->setStatus(rqPlan.product.productId,
                        ProductStatus::chartWord(ProductStatus::chart(rqPlan.product, rqPlan.container)));
    // An RQ chart belongs to the card it is on: with another card, or none,
    // the pane keeps nothing of it (a running job keeps its card's).
    if (shownId && !control->busy() && products->product(shownId).line == RqSd
        && (!row || rqPlan.product.productId != shownId)) {
        shownId = 0;
        list->clearChoice();
        details->clear();
    }
    ui->outerRqIconWidget->setVisible(!row);
    ui->rqScrollArea->setVisible(row);
    if (!card->hasCard()) {
        ui->noRqLabel->setText(QStringLiteral("Check for updates by clicking the icon above."));
        ui->noRq2Label->setText(QStringLiteral("Select a RQ card and open the \u201cencrypt.txt\u201d file."));
        ui->noRqTooltipLabel->show();
    } else if (!row) {
        ui->noRqLabel->setText(rqPlan.step == RqCardPlan::Restore ? QStringLiteral("Restoring the card's chart\u2026")
                                                                  : QStringLiteral("The selected card is not a RQ card"));
        ui->noRq2Label->setText(QString());
        ui->noRqTooltipLabel->hide();
    }
    // A card the service does not know is registered, and a lost container
    // rebuilt, once per card, and only when the service's word on the RQ
    // subscriptions is in.
    if (!rqPrepared && !control->busy() && products->subscriptionsLoaded(RqSd)
        && (rqPlan.step == RqCardPlan::Register || rqPlan.step == RqCardPlan::Restore)) {
        rqPrepared = true;
        control->prepareRqCard(rqPlan, card->card());
    }
    if (row && currentLine() == RqSd && shownId == 0)
        chooseProduct(rqPlan.product.productId);
}

void NewWindow::chooseProduct(int productId)
{
    // One press on a row is not a new choice when the row already is the
    // choice; the lines of an ended job go with any choice.
    control->clearFinished();
    const Product product = products->product(productId);
    if (!product.isValid())
        return;
    const bool again = productId == shownId;
    shownId = productId;
    shownLine = product.line;
    lists.value(product.line)->choose(productId);
    infos->request(product.sku);
    showDetails();
    if (again)
        return;
    if (!card->hasCard()) {
        showMessage(QStringLiteral("Please select an SD card."));
        return;
    }
    if (card->state().isValid() && !ProductStatus::fitsOn(product, card->state().totalBytes()))
        showMessage(ProductStatus::tooLargeMessage());
}

void NewWindow::showDetails()
{
    if (!shownId) {
        details->clear();
        return;
    }
    const Product product = products->product(shownId);
    if (!product.isValid()) {
        shownId = 0;
        details->clear();
        return;
    }
    const CardState &state = card->state();
    QString action;
    if (product.line == RqSd) {
        const bool onCard = rqPlan.product.productId == product.productId
                            && (rqPlan.step == RqCardPlan::Ready || rqPlan.step == RqCardPlan::Register);
        const ProductStatus::ChartStatus status =
            onCard ? ProductStatus::chart(product, rqPlan.container) : ProductStatus::UpToDate;
        const QString cardBuild = onCard ? ProductStatus::buildReference(qint32(rqPlan.container.buildNumber),
                                                                         qint32(rqPlan.container.buildCode))
                                         : QString();
        details->showChart(product, infos->picture(product.sku), status, cardBuild);
        if (onCard && rqPlan.step == RqCardPlan::Ready)
            action = ProductStatus::chartAction(status);
    } else {
        const ProductInfo info = infos->info(product.sku);
        const ProductStatus::Code code = ProductStatus::of(product, state, cardLine());
        details->showProduct(product, infos->has(product.sku) ? &info : nullptr, infos->picture(product.sku), code,
                             ProductStatus::counts(product, state));
        action = ProductStatus::offeredAction(product, state, code);
    }
    details->offer(control->busy() || !card->hasCard() ? QString() : action);
}

void NewWindow::pressAction()
{
    if (control->busy() || !shownId)
        return;
    const Product product = products->product(shownId);
    const QString action = details->offered();
    // The card must be in and writable to take anything.
    QFile media(panel->chosenCard().mediaFilePath());
    if (!panel->chosenCard().isValid() || !media.open(QIODevice::ReadWrite)) {
        showMessage(QStringLiteral("Cannot open Media ID file."));
        return;
    }
    media.close();
    if (product.line == RqSd) {
        if (rqPlan.step == RqCardPlan::Ready && rqPlan.product.productId == product.productId)
            control->update(rqPlan, panel->chosenCard(), action == QLatin1String("Validate"));
        return;
    }
    if (action == QLatin1String("Verify")) {
        control->verify(product, panel->chosenCard());
        return;
    }
    QString onCard;
    if (action == QLatin1String("Replace")) {
        onCard = card->state().productSku();
        const Product replaced = products->productBySku(onCard);
        const auto answer = QMessageBox::question(
            this, QStringLiteral("Replace"),
            tr("Replace %1 on the SD card with %2? The chart now on the card is removed from it.")
                .arg(replaced.isValid() ? replaced.name : onCard, product.name),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return;
    }
    control->download(product, panel->chosenCard(), onCard);
}

// ---------------------------------------------------------------- jobs

void NewWindow::setLocked(bool locked)
{
    refreshButton->setDisabled(locked);
    panel->setLocked(locked);
    ui->noRQBtn->setDisabled(locked);
    ui->tabWidget->tabBar()->setDisabled(locked);
    for (ProductList *list : std::as_const(lists))
        list->setLocked(locked);
    if (!locked && closing)
        closing->reject();
    showEject();
    showDetails();
}

void NewWindow::handleJobEnded(Job *job)
{
    const JobText::Kind kind = control->currentKind();
    tray->setToolTip(QString());
    // Ended (cancelled, most likely) while its card is out: the card was
    // the job's to wait for until now. Kept chosen, the panel would show
    // whatever stands in its place as the card; forgotten, the card is
    // chosen again by itself when it comes back.
    if (panel->chosenCard().isValid() && !panel->chosenCard().stillPresent()) {
        panel->say(tr("The SD card was taken out."));
        panel->forget();
    }
    switch (job->stage()) {
    case Job::Stage::Done:
        bringForward();
        // Proven: the card can go, and the button that lets it is at hand.
        ui->downloadStatusLabel->setText(tr("You can eject the SD card now."));
        ejectButton->setFocus();
        notifier->notify(JobText::endTitle(*job, kind, control->elapsedMs()), JobText::endMessage(*job, kind));
        if (isVisible())
            showMessage(JobText::endMessage(*job, kind));
        break;
    case Job::Stage::Failed:
        notifier->notify(JobText::endTitle(*job, kind, control->elapsedMs()), JobText::errorList(*job));
        if (isVisible())
            showMessage(JobText::errorList(*job));
        if (job->leadingError().kind == JobError::SignIn)
            leaveForSignIn();
        break;
    default:
        break;
    }
}

void NewWindow::handleRqCardPrepared(Job *job)
{
    if (job->stage() == Job::Stage::Done) {
        // The service now knows the card, or the card its container again.
        // Both happen as the card is chosen, without a button pressed: the
        // user hears what was done (a subscription used, a file written).
        const QString text = qobject_cast<RegistrationJob *>(job)
            ? tr("This RQ card is now registered to your account for %1.").arg(job->title())
            : tr("The chart container of %1 was missing from this card and was rebuilt from the chart "
                 "service.")
                  .arg(job->title());
        panel->say(text);
        notifier->notify(job->title(), text);
        products->loadSubscriptions(RqSd);
        card->refresh();
        return;
    }
    notifier->notify(QStringLiteral("Download Error: ") + job->title(), JobText::errorList(*job));
    if (isVisible())
        showMessage(JobText::errorList(*job));
    // A card the service does not know yet cannot be registered, nor its
    // update offered, without a session it takes.
    if (job->leadingError().kind == JobError::SignIn)
        leaveForSignIn();
}

void NewWindow::leaveForSignIn()
{
    // What a job has not finished on the card stays with this window.
    if (control->busy() || signInAsked)
        return;
    // Every call the session is turned down for says so; one answer is enough.
    signInAsked = true;
    emit signInAgainRequested();
}

void NewWindow::closeEvent(QCloseEvent *event)
{
    if (control->busy()) {
        QMessageBox question(QMessageBox::Question, QStringLiteral("Close Confirmation"),
                             QStringLiteral("Download in progress. Are you sure you wish to close this app?"),
                             QMessageBox::Yes | QMessageBox::No, this);
        question.setDefaultButton(QMessageBox::No);
        question.setEscapeButton(QMessageBox::No);
        closing = &question;
        const int answer = question.exec();
        closing = nullptr;
        // The job may have ended while the question was open; then there is
        // nothing left to lose and the question went away by itself.
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
    }
    tray->hide();
    event->accept();
    emit quitRequested();
}
