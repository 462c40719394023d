#include "catalogue/productstatus.h"

namespace ProductStatus {

namespace {

// The rules the service's bindings give, before the card's own state is
// asked: a product on this card and bound to it is "Redownload" here.
Code bindingStatus(const Product &product, const QString &mediaId, const QString &skuOnCard)
{
    bool anyReplace = false;
    bool anyRedownload = false;
    bool anyAvailable = false;
    for (const Subscription &subscription : product.subscriptions) {
        const QString boundTo = subscription.boundMediaId();
        Code code;
        if (mediaId.isEmpty()) {
            code = boundTo.isEmpty() ? Available : Downloaded;
        } else if (skuOnCard.isEmpty()) {
            // Bound to this card but not on it: there is nothing to download
            // again, only to download.
            code = (boundTo.isEmpty() || boundTo == mediaId) ? Available : Downloaded;
        } else if (skuOnCard == product.sku) {
            if (boundTo == mediaId)
                return Redownload;
            code = Downloaded;
        } else {
            code = (boundTo.isEmpty() || boundTo == mediaId) ? Replace : Downloaded;
        }
        anyReplace |= code == Replace;
        anyRedownload |= code == Redownload;
        anyAvailable |= code == Available;
    }
    if (anyReplace)
        return Replace;
    if (anyRedownload)
        return Redownload;
    if (anyAvailable)
        return Available;
    return Downloaded;
}

} // namespace

Code of(const Product &product, const CardState &card, ProductTypeEnum cardLine)
{
    const QString skuOnCard = card.isValid() ? card.productSku() : QString();
    if (cardLine != NoProductType && cardLine != product.line && (!skuOnCard.isEmpty() || card.isRqCard()))
        return Incompatible;
    const Code bound = bindingStatus(product, card.isValid() ? card.mediaId() : QString(), skuOnCard);
    if (bound != Redownload)
        return bound;
    // "Redownload" is a claim that the card holds the product whole: only
    // what was proven earns it.
    switch (card.productState()) {
    case CardState::Product::Complete:
        return Redownload;
    case CardState::Product::Unverified:
        return Unverified;
    case CardState::Product::BeingWritten:
        return InProgress;
    case CardState::Product::Incomplete:
    case CardState::Product::None:
        break;
    }
    return Incomplete;
}

QMap<Code, int> counts(const Product &product, const CardState &card)
{
    QMap<Code, int> found;
    const QString mediaId = card.isValid() ? card.mediaId() : QString();
    const QString skuOnCard = card.isValid() ? card.productSku() : QString();
    for (const Subscription &subscription : product.subscriptions) {
        const QString boundTo = subscription.boundMediaId();
        Code code;
        if (mediaId.isEmpty() || skuOnCard.isEmpty() || skuOnCard != product.sku)
            code = boundTo.isEmpty() ? Available : Downloaded;
        else
            code = boundTo == mediaId ? Downloaded : Available;
        ++found[code];
    }
    return found;
}

QString word(Code code)
{
    switch (code) {
    case Available:
        return QStringLiteral("Available");
    case Replace:
        return QStringLiteral("Replace");
    case Downloaded:
        return QStringLiteral("Downloaded");
    case Redownload:
        return QStringLiteral("Redownload");
    case Incompatible:
        return QStringLiteral("Incompatible");
    case Incomplete:
        return QStringLiteral("Incomplete");
    case Unverified:
        return QStringLiteral("Not Verified");
    case InProgress:
        return QStringLiteral("In Progress");
    case None:
        break;
    }
    return QString();
}

QString action(Code code)
{
    switch (code) {
    case Available:
        return QStringLiteral("Download");
    case Replace:
        return QStringLiteral("Replace");
    case Redownload:
        return QStringLiteral("Redownload");
    case Incomplete:
        return QStringLiteral("Resume");
    case Unverified:
        return QStringLiteral("Verify");
    case Downloaded:
    case Incompatible:
    case InProgress:
    case None:
        break;
    }
    return QString();
}

bool fitsOn(const Product &product, qint64 cardBytes)
{
    return qint64(product.sizeInKb) * 1024 <= cardBytes;
}

QString tooLargeMessage()
{
    return QStringLiteral("You don't have enough space to download this chart onto the current SD card.");
}

QString offeredAction(const Product &product, const CardState &card, Code code)
{
    return card.isValid() && fitsOn(product, card.totalBytes()) ? action(code) : QString();
}

QString note(Code code)
{
    switch (code) {
    case Available:
        return QStringLiteral("There is an available map ready to be downloaded to the selected Corvane encrypted SD card.");
    case Replace:
        return QStringLiteral("The map can be downloaded to this Corvane encrypted SD card, replacing the existing Legacy subscription.");
    case Downloaded:
        return QStringLiteral("The selected map has already been downloaded to an SD card.");
    case Redownload:
        return QStringLiteral("The selected map has already been downloaded to the selected Corvane encrypted SD card.");
    case Incompatible:
        return QStringLiteral("The selected map is not compatible with the selected SD card.");
    case Incomplete:
        return QStringLiteral("The map is only partly on the selected SD card. Resume puts the rest on it; the files already there are kept.");
    case Unverified:
        return QStringLiteral("The map's files are on the selected SD card, but this computer has not checked them. Verify reads them back and checks every one.");
    case InProgress:
        return QStringLiteral("The map is being written to the selected SD card.");
    case None:
        break;
    }
    return QString();
}

ChartStatus chart(const Product &product, const CardState::Container &container)
{
    // Compared as the card stores them: unsigned 32-bit.
    const quint32 serviceBuild = quint32(product.buildNumber);
    const quint32 serviceCode = quint32(product.buildCode);
    if (container.updating)
        return UpdateInProgress;
    if (serviceBuild > container.buildNumber)
        return UpdateAvailable;
    if (serviceBuild != container.buildNumber)
        return UpToDate;
    // A card without a build code predates build codes: its build number is
    // all there is to compare.
    if (container.buildCode == 0)
        return UpToDate;
    if (serviceCode == container.buildCode)
        return UpToDateSameBuild;
    if (serviceCode > container.buildCode)
        return UpdateAvailableSameBuild;
    return UpToDate;
}

QString chartWord(ChartStatus status)
{
    switch (status) {
    case UpdateInProgress:
        return QStringLiteral("Update In Progress");
    case UpToDate:
    case UpToDateSameBuild:
        return QStringLiteral("Up To Date");
    case UpdateAvailable:
    case UpdateAvailableSameBuild:
        return QStringLiteral("Update Available");
    }
    return QString();
}

QString chartAction(ChartStatus status)
{
    switch (status) {
    case UpdateInProgress:
        return QStringLiteral("Resume");
    case UpdateAvailable:
    case UpdateAvailableSameBuild:
        return QStringLiteral("Update");
    case UpToDateSameBuild:
        // The card has the service's build: the update checks it again.
        return QStringLiteral("Validate");
    case UpToDate:
        break;
    }
    return QString();
}

QString buildReference(qint32 buildNumber, qint32 buildCode)
{
    QString reference = QString::number(buildNumber / 1000.0, 'f', 3);
    if (buildCode > 0) {
        const auto letter = [](qint32 value) { return QString(QChar(u'A' + value % 26)); };
        const auto digit = [](qint32 value) { return QString(QChar(u'0' + value % 10)); };
        reference += QStringLiteral(" (%1%2%3%4%5%6)")
                         .arg(letter(buildCode / 676000), letter(buildCode / 26000), letter(buildCode / 1000),
                              digit(buildCode / 100), digit(buildCode / 10), digit(buildCode));
    }
    return reference;
}

} // namespace ProductStatus
