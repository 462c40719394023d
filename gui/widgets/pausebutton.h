#pragma once

#include <QPushButton>

// The downloader's two-state button: it offers pause while transfers run and
// resume once they have stopped.
class PauseButton : public QPushButton
{
    Q_OBJECT

public:
    explicit PauseButton(QWidget *parent = nullptr);

    bool isPaused() const;
    void setIconPause();
    void setIconResume();
    void pauseReady();
    void resumeReady();

protected:
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    bool paused = false;
};
