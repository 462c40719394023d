#pragma once

#include <QButtonGroup>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

class AbstractProduct;

// The products of one line and the button group that makes their rows one
// choice.
class ProductGroup : public QObject
{
    Q_OBJECT

public:
    // The group never has a parent; the argument is accepted and ignored.
    ProductGroup(const QString &productTypeName, bool exclusive, QObject *parent = nullptr);
    ~ProductGroup() override;
    Q_DISABLE_COPY_MOVE(ProductGroup)

    void setInitialized(bool value);
    bool isInitialized() const;
    QButtonGroup *getButtonGroup();
    QString getProductTypeName() const;
    bool isExclusive() const;

    QList<AbstractProduct *> getProducts() const;
    AbstractProduct *getProduct(int productId) const;
    AbstractProduct *getProduct(const QString &sku) const;
    QList<AbstractProduct *> getSelectedProducts() const;
    AbstractProduct *getSelectedProduct() const;

    void addProduct(int productId, AbstractProduct *product);
    void addSubscription(int productId, int subscriptionId, const QJsonObject *subscription);
    void setDisabled(bool disabled);
    void clearSelections();

public slots:
    void highlightProduct(int _productId);

private:
    bool initialized = false;
    QButtonGroup buttonGroup;
    QString productTypeName;
    QHash<int, AbstractProduct *> products;
};
