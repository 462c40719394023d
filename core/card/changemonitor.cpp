#include "card/changemonitor.h"

#include <QFile>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>

#include "card/cardwriter.h"

Q_LOGGING_CATEGORY(lcMonitor, "quorvel.card.monitor")

namespace {
// What changes a file's bytes, its name, or whether it is there. Times and
// modes (IN_ATTRIB) change no byte.
constexpr uint32_t fileEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE;
constexpr uint32_t folderEvents = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;
} // namespace

ChangeMonitor::ChangeMonitor(QObject *parent)
    : QObject(parent)
    , fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    closeFolders.setSingleShot(true);
    closeFolders.setInterval(1000);
    connect(&closeFolders, &QTimer::timeout, this, [this] { openFolders.clear(); });
    if (fd < 0) {
        qCWarning(lcMonitor) << "cannot watch the card for changes:" << ::strerror(errno);
        brokenSinceDrain = true;
        return;
    }
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    gathering.setSingleShot(true);
    gathering.setInterval(gatherFor);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        notifier->setEnabled(false);
        gathering.start();
    });
    connect(&gathering, &QTimer::timeout, this, [this] {
        emit eventsPending();
        notifier->setEnabled(true);
    });
}

ChangeMonitor::~ChangeMonitor()
{
    delete notifier;
    if (fd >= 0)
        ::close(fd);
}

bool ChangeMonitor::watchFolderOf(const CardWriter &writer, const QString &file)
{
    const qsizetype slash = file.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash < 0 ? QString() : file.left(slash);
    if (watched.contains(folder))
        return true;
    if (fd < 0) {
        brokenSinceDrain = true;
        return false;
    }
    // The folder as the card writer reaches it, without following a link:
    // the watch is on that folder itself, whatever its path names later.
    int folderFd = -1;
    const CardResult opened = writer.openFolderForWatching(folder, &folderFd, &openFolders);
    closeFolders.start();
    if (!opened.ok()) {
        brokenSinceDrain = true;
        return false;
    }
    const QByteArray path = "/proc/self/fd/" + QByteArray::number(folderFd);
    const int watch = ::inotify_add_watch(fd, path.constData(), fileEvents | folderEvents | IN_ONLYDIR);
    const int error = errno;
    ::close(folderFd);
    if (watch < 0) {
        qCWarning(lcMonitor) << "cannot watch" << folder << ::strerror(error);
        brokenSinceDrain = true;
        return false;
    }
    folders.insert(watch, folder);
    watched.insert(folder);
    return true;
}

ChangeMonitor::Drained ChangeMonitor::drain()
{
    Drained drained;
    if (fd >= 0) {
        alignas(inotify_event) char buffer[64 * 1024];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            for (ssize_t at = 0; at < got;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                at += ssize_t(sizeof(inotify_event) + event->len);
                if (event->mask & IN_Q_OVERFLOW) {
                    brokenSinceDrain = true;
                    continue;
                }
                const auto folder = folders.constFind(event->wd);
                if (folder == folders.cend())
                    continue;
                if (event->mask & folderEvents) {
                    brokenSinceDrain = true;
                    continue;
                }
                if (event->len == 0)
                    continue;
                const QString name = QFile::decodeName(QByteArray(event->name));
                drained.changed.append(folder->isEmpty() ? name : *folder + QLatin1Char('/') + name);
            }
        }
    }
    drained.broken = std::exchange(brokenSinceDrain, false);
    if (drained.broken)
        qCWarning(lcMonitor) << "the card's changes can no longer be followed; proofs before now are void";
    return drained;
}

void ChangeMonitor::reset()
{
    for (auto it = folders.cbegin(); it != folders.cend(); ++it)
        ::inotify_rm_watch(fd, it.key());
    folders.clear();
    watched.clear();
    openFolders.clear();
    drain();
    brokenSinceDrain = true;
}
