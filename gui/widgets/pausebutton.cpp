#include "widgets/pausebutton.h"

#include <QEnterEvent>
#include <QIcon>

namespace {
const QString pauseUp = QStringLiteral(":/resources/images/Downloader_Pause_Icon_Up.png");
const QString pauseOver = QStringLiteral(":/resources/images/Downloader_Pause_Icon_Over.png");
const QString resumeUp = QStringLiteral(":/resources/images/Downloader_Resume_Icon_Up.png");
const QString resumeOver = QStringLiteral(":/resources/images/Downloader_Resume_Icon_Over.png");
} // namespace

PauseButton::PauseButton(QWidget *parent)
    : QPushButton(parent)
{
}

bool PauseButton::isPaused() const
{
    return paused;
}

void PauseButton::setIconPause()
{
    setIcon(QIcon(pauseUp));
    // Said in words as well: the status line asks for "Resume" by name.
    setText(tr("Pause"));
    setToolTip(tr("Pause"));
}

void PauseButton::setIconResume()
{
    setIcon(QIcon(resumeUp));
    setText(tr("Resume"));
    setToolTip(tr("Resume"));
}

void PauseButton::pauseReady()
{
    if (!isEnabled())
        setEnabled(true);
    paused = false;
    setIconPause();
}

void PauseButton::resumeReady()
{
    if (!isEnabled())
        setEnabled(true);
    paused = true;
    setIconResume();
}

void PauseButton::enterEvent(QEnterEvent *event)
{
    setIcon(QIcon(paused ? resumeOver : pauseOver));
    QPushButton::enterEvent(event);
}

void PauseButton::leaveEvent(QEvent *event)
{
    setIcon(QIcon(paused ? resumeUp : pauseUp));
    QPushButton::leaveEvent(event);
}
