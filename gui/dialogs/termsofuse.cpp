#include "dialogs/termsofuse.h"
#include "ui_termsofuse.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QPushButton>
#include <QCoreApplication>
#include <QFile>
#include <QTextDocument>

TermsOfUse::TermsOfUse(QWidget *parent, bool agreed)
    : QWidget(parent)
    , ui(new Ui::TermsOfUse)
    , agreed(agreed)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Quorvel Download Tool - Terms of Use"));

    QFile file(QStringLiteral(":/text/termsofuse.html"));
    if (file.open(QIODevice::ReadOnly))
        termsText = QString::fromUtf8(file.readAll());

    QTextDocument document;
    document.setDefaultStyleSheet(
        QStringLiteral("ul{padding-left:10px;margin-left:10px;-qt-list-indent:0}"));
    document.setHtml(termsText);
    ui->termsBrowser->setHtml(document.toHtml());

    if (agreed)
        ui->buttonsWidget->hide();
}

TermsOfUse::~TermsOfUse()
{
    delete ui;
}

void TermsOfUse::on_agreeButton_clicked()
{
    agreed = true;
    ui->buttonsWidget->hide();
    emit agreedSig();
}

void TermsOfUse::on_cancelButton_clicked()
{
    if (!agreed)
        emit declined();
    else
        hide();
}

void TermsOfUse::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (auto *button = qobject_cast<QPushButton *>(focusWidget()))
            button->click();
        else if (!agreed)
            ui->agreeButton->click();
        return;
    case Qt::Key_Escape:
        if (agreed)
            close();
        else
            ui->cancelButton->click();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void TermsOfUse::closeEvent(QCloseEvent *event)
{
    event->accept();
    if (!agreed)
        emit declined();
}
