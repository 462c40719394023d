#include "widgets/loadinggif.h"
#include "ui_loadinggif.h"

#include <QMovie>

LoadingGif::LoadingGif(QWidget *parent)
    : QFrame(parent)
    , ui(new Ui::LoadingGif)
    , gif(new QMovie(QStringLiteral(":/resources/images/CV_WQRT_Processing_White.gif")))
{
    ui->setupUi(this);
    ui->gifLabel->setMovie(gif);
    gif->start();
}

LoadingGif::~LoadingGif()
{
    delete ui;
    delete gif;
}
