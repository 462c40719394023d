#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

// Answers the modal dialogs the tool opens, the way a user at the screen
// would, and remembers what they said. Flows that stop at a message box or a
// file dialog can then run on inside a test.
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
        timer.setInterval(15);
        connect(&timer, &QTimer::timeout, this, &ModalAnswerer::poll);
        timer.start();
    }

    // Which button to press in a message box; the default presses the first
    // accepting button (OK or Yes).
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

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || inspecting)
            return;
        if (inspect) {
            // An inspection may wait for the dialog to settle; the timer
            // must not answer it meanwhile.
            inspecting = true;
            inspect(modal);
            inspecting = false;
        }
        if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
            if (fileToChoose.isEmpty()) {
                dialog->reject();
            } else {
                // selectFile() leaves the name field alone while it has the
                // focus, and then accept() finds nothing chosen: type the
                // path into the field, as a user would.
                if (auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                    edit->setText(fileToChoose);
                else
                    dialog->selectFile(fileToChoose);
                QMetaObject::invokeMethod(dialog, "accept");
            }
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
        if (!button) {
            for (QAbstractButton *candidate : box->buttons()) {
                const auto role = box->buttonRole(candidate);
                if (role == QMessageBox::AcceptRole || role == QMessageBox::YesRole) {
                    button = candidate;
                    break;
                }
            }
        }
        if (button)
            button->click();
        else
            box->reject();
    }

    QTimer timer;
    bool inspecting = false;
};
