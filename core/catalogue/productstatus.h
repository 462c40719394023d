#pragma once

#include <QMap>
#include <QString>

#include "card/cardstate.h"
#include "catalogue/product.h"

// What a product is for the chosen card, as a function of the product (its
// subscriptions) and what the card holds. One set of rules for the window's
// rows and details and for the command line's "products".
namespace ProductStatus {

enum Code {
    Available = 0,
    Replace = 1,
    Downloaded = 2,
    Redownload = 3,
    Incompatible = 4,
    // On this card, but not proven whole: its files are not all there, or
    // the last run on it ended without proof. Its button finishes it.
    Incomplete = 5,
    // On this card with all its files, but nothing on this computer proved
    // them: its button proves them.
    Unverified = 6,
    // A job is writing it to this card now.
    InProgress = 7,
    None = -1,
};

// The line of the product the card holds, as the catalogue knows it; an RQ
// card is RqSd whatever its vmid says.
Code of(const Product &product, const CardState &card, ProductTypeEnum cardLine);
// How many of the product's subscriptions are in which state for this card.
QMap<Code, int> counts(const Product &product, const CardState &card);

// The row's word ("Available", "Replace", ...).
QString word(Code code);
// The word of the button that acts on it ("Download", "Replace",
// "Redownload", "Resume", "Verify"); empty when none is offered.
QString action(Code code);
// The note under the details.
QString note(Code code);

// Whether the product can be on a card of this many bytes at all: one larger
// than the whole card is refused before the service binds it to the card.
bool fitsOn(const Product &product, qint64 cardBytes);
QString tooLargeMessage();
// The button's word for the product on this card: none for a card that
// cannot be read or could never hold the product.
QString offeredAction(const Product &product, const CardState &card, Code code);

// An RQ card's chart against the service's newest build of it.
enum ChartStatus {
    UpdateInProgress = -1,
    UpToDate = 0,
    UpToDateSameBuild = 1,
    UpdateAvailable = 2,
    UpdateAvailableSameBuild = 3,
};
ChartStatus chart(const Product &product, const CardState::Container &container);
QString chartWord(ChartStatus status);
// The button for it: "Update", "Resume" (an update in progress), "Validate"
// (the service's build, checked again), or none.
QString chartAction(ChartStatus status);
// "12.345 (ABB123)": build number in thousands, then the build code.
QString buildReference(qint32 buildNumber, qint32 buildCode);

} // namespace ProductStatus
