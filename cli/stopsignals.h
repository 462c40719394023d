#pragma once

#include <QObject>

class QSocketNotifier;

// Ctrl-C, SIGTERM and SIGHUP turned into a Qt signal. The handler only writes the
// signal's number into a socket pair (nothing else is safe inside a signal
// handler); a QSocketNotifier reads it on the event loop, where the job can
// be paused properly. A second signal while the first is being dealt with
// ends the process at once, from the handler: the user asked twice, and a
// stuck pause must not hold the terminal.
//
// One instance per process: the handler has nowhere else to write.
class StopSignals : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StopSignals)

public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

    bool isValid() const { return notifier != nullptr; }

signals:
    // SIGINT, SIGTERM or SIGHUP arrived (the first of them).
    void stopAsked(int signalNumber);

private:
    void handleReadable();
    static void handle(int signalNumber);

    QSocketNotifier *notifier = nullptr;
};
