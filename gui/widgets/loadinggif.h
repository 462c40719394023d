#pragma once

#include <QFrame>

class QMovie;

namespace Ui {
class LoadingGif;
}

// The busy animation shown in the details pane while a product's
// information is on its way.
class LoadingGif : public QFrame
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LoadingGif)

public:
    explicit LoadingGif(QWidget *parent = nullptr);
    ~LoadingGif() override;

    QMovie *movie() const { return gif; }

private:
    Ui::LoadingGif *ui;
    QMovie *gif;
};
