#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

// Answers the message boxes and file dialogs the tool opens, from the event
// loop each opens, as a user would, and remembers what they said.
class ModalAnswerer : public QObject
{
public:
    struct Seen
    {
        QString title;
        QString text;
        QStringList visibleButtons;
    };

    explicit ModalAnswerer(QObject *parent = nullptr)
        : QObject(parent)
    {
        qApp->installEventFilter(this);
        if (QWidget *open = QApplication::activeModalWidget())
            answerSoon(open);
    }

    // The default presses the first accepting button (OK or Yes).
    std::function<QAbstractButton *(QMessageBox *)> choose;
    // Runs on every dialog before it is answered, to look at it as shown.
    std::function<void(QWidget *)> inspect;
    // The file a file dialog answers with; an empty text cancels it.
    QString fileToChoose;
    QList<Seen> seen;

    QStringList texts() const
    {
        QStringList list;
        for (const Seen &s : seen)
            list << s.text;
        return list;
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && (qobject_cast<QMessageBox *>(watched) || qobject_cast<QFileDialog *>(watched)))
            answerSoon(static_cast<QWidget *>(watched));
        return false;
    }

private:
    void answerSoon(QWidget *dialog)
    {
        QTimer::singleShot(0, this, [this, guard = QPointer<QWidget>(dialog)] {
            if (guard && guard->isVisible() && guard->isModal())
                answer(guard);
        });
    }

    void answer(QWidget *modal)
    {
        if (inspect)
            inspect(modal);
        if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
            if (fileToChoose.isEmpty()) {
                dialog->reject();
                return;
            }
            // selectFile() leaves the name field alone while it has the
            // focus, and accept() then finds nothing chosen: type the path
            // into the field, as a user would.
            if (auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                edit->setText(fileToChoose);
            else
                dialog->selectFile(fileToChoose);
            QMetaObject::invokeMethod(dialog, "accept");
            return;
        }
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (!box)
            return;
        Seen entry{box->windowTitle(), box->text(), {}};
        for (QAbstractButton *button : box->buttons()) {
            if (button->isVisible())
                entry.visibleButtons << button->text();
        }
        seen << entry;
        QAbstractButton *button = choose ? choose(box) : nullptr;
        for (QAbstractButton *candidate : box->buttons()) {
            const auto role = box->buttonRole(candidate);
            if (!button && (role == QMessageBox::AcceptRole || role == QMessageBox::YesRole))
                button = candidate;
        }
        if (button)
            button->click();
        else
            box->reject();
    }
};
