#pragma once

#include <QButtonGroup>
#include <QFrame>
#include <QLabel>
#include <QString>

class AbstractProduct;
class QMouseEvent;
class QResizeEvent;

namespace Ui {
class ProductRow;
}

// One owned product in a line's list: a radio button with the product's
// name, item number, status and size.
class ProductRow : public QFrame
{
    Q_OBJECT

public:
    ProductRow(AbstractProduct *product, QButtonGroup *group, QWidget *parent);
    ~ProductRow() override;
    Q_DISABLE_COPY_MOVE(ProductRow)

    void setLabelElideText(QLabel *label, int width, const QString &text);
    void updateStatusText(const QString &text);
    void setHighlightColor(bool on);
    void setSelected(bool on);

    Ui::ProductRow *ui;

signals:
    void highlightClick();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void on_radioButton_pressed();

private:
    void pressed();

    AbstractProduct *product;
};
