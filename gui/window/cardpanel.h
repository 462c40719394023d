#pragma once

#include <QObject>
#include <QString>

#include "catalogue/producttypeenum.h"
#include "card/cardidentity.h"
#include "card/cardwatcher.h"

class Settings;
class QWidget;
namespace Ui {
class NewWindow;
}

// The card side of the main window: which card is chosen and what is known
// about it (media id, item number, line, capacity), the panel that shows it,
// and the watcher that finds cards as they are put in and taken out. The
// window decides what a choice or a removal means for its tabs and its
// download; this class only knows the card.
class CardPanel : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CardPanel)

public:
    enum class MediaFile { Valid, NoCard, Invalid };

    CardPanel(Ui::NewWindow *ui, Settings &settings, QWidget *dialogParent);

    // The folder holding the chosen ENCRYPT.TXT: the card's root.
    QString mediaIdDir() const;
    // Reads the remembered (and, with browse, the browsed-to) media file.
    MediaFile readMediaFile(bool browse);
    // The panel's no-card texts and picture; forgets the card's facts.
    void showNoCard();
    // Path, capacity and the remembered choice of a card just read.
    void showChosenCard();
    void refreshCapacity();
    // The item number of the product on the card, from its vmid file. True
    // when the file was there and read.
    bool readVmid();
    void showItemNumber();
    void showPicture();
    // While a download runs the card cannot be changed.
    void setLocked(bool locked);
    // Labels cut to their width are cut again when the panel changes size.
    void relayout();
    // A line under the button telling what the watcher did.
    void say(const QString &text);

    CardWatcher *watcher() { return &cardWatcher; }
    const CardIdentity &chosenCard() const { return chosen; }

    QString mediaIdFile;
    QString rawMediaId;
    QString skuOnCard;
    ProductTypeEnum cardProductType = NoProductType;
    qint32 freeKb = 0;
    qint32 totalKb = 0;

signals:
    // The only card present while none is chosen, or one picked from the
    // list of several: the window chooses it as if it had been browsed to.
    void cardOffered(const QString &mediaFile);
    void chosenCardLost();
    void chosenCardBack();

private:
    void updateCardList();
    void offerCardIfNoneChosen();
    void setElided(class QLabel *label, const QString &text, const QString &tooltip, Qt::TextElideMode mode);

    Ui::NewWindow *ui;
    Settings &settings;
    QWidget *dialogParent;
    CardWatcher cardWatcher;
    CardIdentity chosen;
    bool locked = false;
    QString pathText;
    QString itemText;
};
