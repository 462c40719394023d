#include "widgets/productgroup.h"

#include <QAbstractButton>
#include <QDebug>

#include "widgets/abstractproduct.h"

ProductGroup::ProductGroup(const QString &productTypeName, bool exclusive, QObject *parent)
    : QObject(nullptr)
    , productTypeName(productTypeName)
{
    Q_UNUSED(parent);
    buttonGroup.setExclusive(exclusive);
}

ProductGroup::~ProductGroup() = default;

void ProductGroup::setInitialized(bool value)
{
    initialized = value;
}

bool ProductGroup::isInitialized() const
{
    return initialized;
}

QButtonGroup *ProductGroup::getButtonGroup()
{
    return &buttonGroup;
}

QString ProductGroup::getProductTypeName() const
{
    return productTypeName;
}

bool ProductGroup::isExclusive() const
{
    return buttonGroup.exclusive();
}

QList<AbstractProduct *> ProductGroup::getProducts() const
{
    return products.values();
}

AbstractProduct *ProductGroup::getProduct(int productId) const
{
    return products.value(productId);
}

AbstractProduct *ProductGroup::getProduct(const QString &sku) const
{
    for (AbstractProduct *product : products) {
        if (product->sku == sku)
            return product;
    }
    return nullptr;
}

QList<AbstractProduct *> ProductGroup::getSelectedProducts() const
{
    QList<AbstractProduct *> selected;
    for (AbstractProduct *product : products) {
        if (product->selected)
            selected.append(product);
    }
    return selected;
}

AbstractProduct *ProductGroup::getSelectedProduct() const
{
    for (AbstractProduct *product : products) {
        if (product->selected)
            return product;
    }
    return nullptr;
}

void ProductGroup::addProduct(int productId, AbstractProduct *product)
{
    if (AbstractProduct *earlier = products.value(productId); earlier && earlier != product)
        disconnect(earlier, &AbstractProduct::exclusiveHighlight, this, &ProductGroup::highlightProduct);
    products.insert(productId, product);
    connect(product, &AbstractProduct::exclusiveHighlight, this, &ProductGroup::highlightProduct,
            Qt::UniqueConnection);
}

void ProductGroup::addSubscription(int productId, int subscriptionId, const QJsonObject *subscription)
{
    AbstractProduct *product = products.value(productId);
    if (!product || !subscription) {
        qDebug() << "Subscription" << subscriptionId << "for unknown product" << productId;
        return;
    }
    product->insertSubscription(subscriptionId, *subscription);
}

void ProductGroup::setDisabled(bool disabled)
{
    for (AbstractProduct *product : std::as_const(products)) {
        if (QAbstractButton *button = buttonGroup.button(product->productId)) {
            button->setDisabled(disabled);
            product->disabled = disabled;
        }
    }
}

void ProductGroup::clearSelections()
{
    // An exclusive group refuses to uncheck its last checked button.
    const bool exclusive = buttonGroup.exclusive();
    buttonGroup.setExclusive(false);
    for (AbstractProduct *product : std::as_const(products)) {
        if (QAbstractButton *button = buttonGroup.button(product->productId))
            button->setChecked(false);
        product->selected = false;
        product->setHighlighted(false);
        product->rowHighlighted = false;
    }
    buttonGroup.setExclusive(exclusive);
}

void ProductGroup::highlightProduct(int _productId)
{
    AbstractProduct *product = products.value(_productId);
    if (!product || product->rowHighlighted)
        return;

    if (!buttonGroup.exclusive()) {
        emit buttonGroup.idClicked(_productId);
        return;
    }

    for (AbstractProduct *other : std::as_const(products)) {
        if (other != product && !other->subscriptions.isEmpty()) {
            other->setHighlighted(false);
            // The exclusive group unchecks the other button below; the flag
            // must follow or two products of one line count as chosen.
            other->selected = false;
        }
    }
    if (QAbstractButton *button = buttonGroup.button(_productId)) {
        button->setChecked(true);
        product->selected = true;
        product->setHighlighted(true);
        emit buttonGroup.idClicked(_productId);
    }
}
