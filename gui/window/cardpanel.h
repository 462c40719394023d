#pragma once

#include <QObject>
#include <QString>

#include "catalogue/producttypeenum.h"
#include "card/cardidentity.h"
#include "card/cardwatcher.h"

class CardModel;
class QLabel;
class QWidget;
namespace Ui {
class NewWindow;
}

// The card side of the main window: which card is chosen (remembered from
// the last run, browsed to, or offered by the watcher), and the panel that
// shows what the card model read of it (path, item number, capacity,
// picture). The window decides what a choice or a removal means for its
// tabs and its job; this class only knows the card.
class CardPanel : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CardPanel)

public:
    enum class Choice { Valid, NoCard, Invalid };

    CardPanel(Ui::NewWindow *ui, CardModel *model, QWidget *dialogParent);

    // The card remembered from the last run, if it is in.
    Choice chooseRemembered();
    // The file dialog; NoCard when the user gave up.
    Choice browse();
    Choice choose(const QString &mediaFile);
    // No card: the panel's no-card texts and picture. offerOthers: a card
    // still in a reader is offered at once (not after an eject: the card
    // ejected may not have left the list yet).
    void forget(bool offerOthers = true);

    const CardIdentity &chosenCard() const { return chosen; }
    QString mediaIdDir() const { return chosen.root(); }
    // The panel shows the card model's latest reading; cardLine picks the picture.
    void showState(ProductTypeEnum cardLine);
    // While a job runs the card cannot be changed.
    void setLocked(bool locked);
    // Labels cut to their width are cut again when the panel changes size.
    void relayout();
    // A line under the button telling what the watcher did.
    void say(const QString &text);

    CardWatcher *watcher() { return &cardWatcher; }

signals:
    // The only card present while none is chosen, or one picked from the
    // list of several: the window chooses it as if it had been browsed to.
    void cardOffered(const QString &mediaFile);
    // The user picked a card from the list of those present.
    void cardPicked(const QString &mediaFile);
    void chosenCardLost();
    void chosenCardBack();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void showNoCard();
    void updateCardList();
    void elideCardList();
    void offerCardIfNoneChosen();
    void setElided(QLabel *label, const QString &text, const QString &tooltip, Qt::TextElideMode mode);

    Ui::NewWindow *ui;
    CardModel *model;
    QWidget *dialogParent;
    CardWatcher cardWatcher;
    CardIdentity chosen;
    bool locked = false;
    QString pathText;
    QString itemText;
};
