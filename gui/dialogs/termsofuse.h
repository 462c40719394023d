#pragma once

#include <QString>
#include <QWidget>

class QCloseEvent;
class QKeyEvent;

namespace Ui {
class TermsOfUse;
}

// Shows the terms and takes the acceptance; once accepted it is only a viewer.
class TermsOfUse : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TermsOfUse)

public:
    TermsOfUse(QWidget *parent, bool agreed);
    ~TermsOfUse() override;

signals:
    void agreedSig();
    // Closed or cancelled before the terms were agreed: the tool ends.
    void declined();

public slots:
    void closeEvent(QCloseEvent *event) override;

protected:
    // Enter presses the button that has the focus (or agrees), Escape
    // cancels: the window is a plain widget, not a dialog that would.
    void keyPressEvent(QKeyEvent *event) override;

private slots:
    void on_agreeButton_clicked();
    void on_cancelButton_clicked();

private:
    Ui::TermsOfUse *ui;
    bool agreed;
    QString termsText;
};
