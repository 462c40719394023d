#include "window/cardpanel.h"
#include "ui_newwindow.h"

#include <QComboBox>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFontMetrics>
#include <QHeaderView>
#include <QPixmap>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTreeView>

#include "base/appglobals.h"
#include "base/settings.h"
#include "base/utilities.h"
#include "card/cardmodel.h"

namespace {

const QString noCardPicture = QStringLiteral(":/resources/images/quorveldownloadtool_sdcard_nocard.png");
const QString cardListTip = QStringLiteral("Cards found in this computer");
// An entry's whole name; its shown text may be cut to the list's width.
constexpr int fullNameRole = Qt::UserRole + 1;

QString cardPicture(ProductTypeEnum type)
{
    switch (type) {
    case Talvos:
        return QStringLiteral(":/resources/images/quorveldownloadtool_sdcard_talvo.png");
    case VelmoraRegion:
        return QStringLiteral(":/resources/images/quorveldownloadtool_sdcard_legacy.png");
    case RqSd:
        return QStringLiteral(":/resources/images/quorveldownloadtool_sdcard_rq.png");
    default:
        return QStringLiteral(":/resources/images/quorveldownloadtool_sdcard_blank.png");
    }
}

void showPictureIn(QLabel *label, const QString &path)
{
    const QPixmap picture(path);
    if (!picture.isNull())
        label->setPixmap(picture.scaled(label->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

// Cards are told apart in the list by the folder they are in and their id.
QString cardName(const CardIdentity &card)
{
    return QFileInfo(card.root()).fileName() + QStringLiteral(" (") + card.rawMediaId() + QLatin1Char(')');
}

// The file dialog of the tool's own making rather than the static helper:
// its columns are widened to what they hold once the folder is read, so
// sizes and dates are never cut.
QString askForMediaFile(QWidget *parent, const QString &startDir)
{
    QFileDialog dialog(parent, QObject::tr("Please select the encrypt.txt file on your SD Card."), startDir,
                       QObject::tr("Quorvel Download Tool Media File(ENCRYPT.TXT  encrypt.txt)"));
    dialog.setObjectName(QStringLiteral("mediaFileDialog"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.resize(820, 480);
    auto *view = dialog.findChild<QTreeView *>(QStringLiteral("treeView"));
    auto *files = dialog.findChild<QFileSystemModel *>();
    if (view && files) {
        QObject::connect(files, &QFileSystemModel::directoryLoaded, view, [view] {
            for (int column = 1; column < view->header()->count(); ++column)
                view->resizeColumnToContents(column);
        });
    }
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}

} // namespace

CardPanel::CardPanel(Ui::NewWindow *ui, CardModel *cardModel, QWidget *dialogParent)
    : QObject(dialogParent)
    , ui(ui)
    , model(cardModel)
    , dialogParent(dialogParent)
    , cardWatcher(this)
{
    // Found by name in the window, so a test looks at once rather than
    // waiting for the next poll.
    cardWatcher.setObjectName(QStringLiteral("cardWatcher"));
    ui->sdCardList->hide();
    ui->sdWatchLabel->hide();
    // The card remembered from the last run counts as chosen while it is in,
    // so a card found at start does not take its place before it is read.
    Settings settings(configFilePath);
    const QString remembered = settings.value(SettingsKeys::mediaIdFile).toString();
    if (!remembered.isEmpty())
        chosen = CardIdentity::fromMediaFile(remembered);
    connect(&cardWatcher, &CardWatcher::cardAppeared, this, [this] {
        updateCardList();
        offerCardIfNoneChosen();
    });
    connect(&cardWatcher, &CardWatcher::cardRemoved, this, &CardPanel::updateCardList);
    connect(&cardWatcher, &CardWatcher::chosenCardLost, this, &CardPanel::chosenCardLost);
    connect(&cardWatcher, &CardWatcher::chosenCardBack, this, &CardPanel::chosenCardBack);
    ui->sdCardList->installEventFilter(this);
    connect(ui->sdCardList, &QComboBox::currentIndexChanged, this, [ui](int index) {
        const QString name = ui->sdCardList->itemData(index, fullNameRole).toString();
        ui->sdCardList->setToolTip(name.isEmpty() ? cardListTip : cardListTip + QLatin1Char('\n') + name);
    });
    connect(ui->sdCardList, &QComboBox::activated, this, [this, ui](int index) {
        const QString file = ui->sdCardList->itemData(index).toString();
        if (!file.isEmpty() && file != chosen.mediaFilePath())
            emit cardPicked(file);
    });
    showNoCard();
}

CardPanel::Choice CardPanel::chooseRemembered()
{
    Settings settings(configFilePath);
    const QString remembered = settings.value(SettingsKeys::mediaIdFile).toString();
    if (remembered.isEmpty() || !QFileInfo::exists(remembered))
        return Choice::NoCard;
    return choose(remembered);
}

CardPanel::Choice CardPanel::browse()
{
    const QString picked = askForMediaFile(dialogParent, chosen.isValid() ? chosen.root() : QStringLiteral("/"));
    if (picked.isEmpty())
        return Choice::NoCard;
    return choose(picked);
}

CardPanel::Choice CardPanel::choose(const QString &mediaFile)
{
    // Read-write on purpose: a locked or write-protected card cannot take a
    // download, so it counts as no card at all.
    QFile file(mediaFile);
    if (!file.open(QIODevice::ReadWrite))
        return Choice::NoCard;
    file.close();
    const CardIdentity card = CardIdentity::fromMediaFile(mediaFile);
    if (!card.isValid()) {
        qDebug() << "Not a media file:" << card.problem();
        return Choice::Invalid;
    }
    chosen = card;
    Settings settings(configFilePath);
    settings.setValue(SettingsKeys::mediaIdFile, mediaFile);
    cardWatcher.setChosenCard(chosen);
    model->setCard(chosen);
    // Cards often sit under the same long folder; the end of the path is
    // what tells them apart, so the middle is what gets cut.
    pathText = QStringLiteral("File Path: ") + chosen.root();
    setElided(ui->sdPathLabel, pathText, chosen.root(), Qt::ElideMiddle);
    updateCardList();
    return Choice::Valid;
}

void CardPanel::forget(bool offerOthers)
{
    chosen = CardIdentity();
    cardWatcher.setChosenCard(chosen);
    model->setCard(chosen);
    showNoCard();
    updateCardList();
    // Another card still in a reader is offered at once, not only when it
    // is put in again.
    if (offerOthers)
        offerCardIfNoneChosen();
}

void CardPanel::showNoCard()
{
    pathText.clear();
    itemText.clear();
    ui->sdPathLabel->setText(QStringLiteral("Please browse to an SD Card which has been"));
    ui->sdPathLabel->setToolTip(QString());
    ui->sdSkuOnCardLabel->setText(QStringLiteral("encrypted on your Corvane Control Head"));
    ui->sdSkuOnCardLabel->setToolTip(QString());
    ui->sdSpaceLabel->setText(QStringLiteral("and select the \u201cencrypt.txt\u201d file."));
    showPictureIn(ui->sdImg, noCardPicture);
}

void CardPanel::showState(ProductTypeEnum cardLine)
{
    const CardState &state = model->state();
    if (!chosen.isValid()) {
        showNoCard();
        return;
    }
    pathText = QStringLiteral("File Path: ") + chosen.root();
    setElided(ui->sdPathLabel, pathText, chosen.root(), Qt::ElideMiddle);
    if (state.isValid()) {
        // Free of total, said so: "a / b" read as used of total.
        ui->sdSpaceLabel->setText(QStringLiteral("SD Card Capacity: ")
                                  + Utilities::kbToReadable(double(state.freeBytes() / 1024)) + tr(" free of ")
                                  + Utilities::kbToReadable(double(state.totalBytes() / 1024)));
    }
    // An RQ card has no vmid: its container names the chart.
    QString sku = state.productSku();
    if (sku.isEmpty() && !state.containers().isEmpty())
        sku = state.containers().first().chartName;
    if (sku.isEmpty()) {
        itemText.clear();
        ui->sdSkuOnCardLabel->clear();
        ui->sdSkuOnCardLabel->setToolTip(QString());
    } else {
        // RQ chart names are padded with blanks in front; they are data, not
        // something to show.
        itemText = QStringLiteral("Item # ") + sku.trimmed();
        setElided(ui->sdSkuOnCardLabel, itemText, sku.trimmed(), Qt::ElideRight);
    }
    showPictureIn(ui->sdImg, cardPicture(cardLine));
}

void CardPanel::setLocked(bool lock)
{
    locked = lock;
    ui->sdSelBtn->setDisabled(lock);
    ui->sdCardList->setDisabled(lock);
    if (!lock)
        offerCardIfNoneChosen();
}

void CardPanel::relayout()
{
    if (!pathText.isEmpty())
        setElided(ui->sdPathLabel, pathText, chosen.root(), Qt::ElideMiddle);
    if (!itemText.isEmpty())
        setElided(ui->sdSkuOnCardLabel, itemText, itemText.mid(7), Qt::ElideRight);
}

bool CardPanel::eventFilter(QObject *watched, QEvent *event)
{
    // The list gets its width from the layout only after it is shown.
    if (watched == ui->sdCardList && event->type() == QEvent::Resize)
        elideCardList();
    return QObject::eventFilter(watched, event);
}

void CardPanel::elideCardList()
{
    QComboBox *list = ui->sdCardList;
    if (list->isHidden())
        return;
    QStyleOptionComboBox option;
    option.initFrom(list);
    const int room = list->style()
                         ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, list)
                         .width();
    // Cards differ at the end of their folder and in their id, so the middle is what goes.
    for (int i = 0; i < list->count(); ++i) {
        const QString name = list->itemData(i, fullNameRole).toString();
        if (!name.isEmpty())
            list->setItemText(i, list->fontMetrics().elidedText(name, Qt::ElideMiddle, room));
    }
}

void CardPanel::say(const QString &text)
{
    ui->sdWatchLabel->setText(text);
    ui->sdWatchLabel->setVisible(!text.isEmpty());
}

void CardPanel::setElided(QLabel *label, const QString &text, const QString &tooltip, Qt::TextElideMode mode)
{
    const QString shown = QFontMetrics(label->font()).elidedText(text, mode, label->width());
    label->setText(shown);
    label->setToolTip(shown != text ? tooltip : QString());
}

void CardPanel::updateCardList()
{
    const QList<CardIdentity> cards = cardWatcher.cards();
    QComboBox *list = ui->sdCardList;
    list->clear();
    if (cards.size() < 2) {
        list->hide();
        return;
    }
    int current = -1;
    QStringList names;
    for (const CardIdentity &card : cards)
        names << cardName(card);
    for (const CardIdentity &card : cards) {
        if (card.sameCard(chosen))
            current = list->count();
        // Two cards of one name (the same media id in readers of the same
        // name) are told apart by where they are.
        QString name = cardName(card);
        if (names.count(name) > 1)
            name += QStringLiteral(" \u2014 ") + card.root();
        list->addItem(name, card.mediaFilePath());
        list->setItemData(list->count() - 1, name, fullNameRole);
        list->setItemData(list->count() - 1, name + QLatin1Char('\n') + card.root(), Qt::ToolTipRole);
    }
    if (current < 0) {
        list->insertItem(0, tr("%1 cards found: choose one").arg(cards.size()));
        list->setItemData(0, list->itemText(0), fullNameRole);
        current = 0;
    }
    list->setCurrentIndex(current);
    list->show();
    elideCardList();
}

void CardPanel::offerCardIfNoneChosen()
{
    const QList<CardIdentity> cards = cardWatcher.cards();
    // A card the user chose stays chosen; with several cards and none
    // chosen, the list asks which.
    if (locked || chosen.isValid() || cards.size() != 1)
        return;
    emit cardOffered(cards.first().mediaFilePath());
}
