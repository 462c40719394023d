#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// A file of the tool's own (outside the card) written so that a crash or a
// full disk leaves the old content or the new, never a mix: a temporary
// beside it, every write checked, fdatasync, rename, the folder synced. The
// file is made readable by its owner only. Whatever stands at the name, a
// link included, is replaced, never written through: the temporary is made
// with O_NOFOLLOW and renamed over the name itself.
class AtomicFile
{
public:
    explicit AtomicFile(const QString &path);
    // A temporary not committed goes.
    ~AtomicFile();

    bool open(QString *why = nullptr);
    bool append(const char *data, qint64 size, QString *why = nullptr);
    bool commit(QString *why = nullptr);

    // The whole content at once.
    static bool write(const QString &path, const QByteArray &bytes, QString *why = nullptr);

private:
    Q_DISABLE_COPY_MOVE(AtomicFile)

    bool fail(const QString &what, QString *why);
    // Closes and removes a temporary not committed.
    void discard();

    QString path;
    QByteArray target;
    QByteArray temporary;
    int fd = -1;
    bool made = false; // the temporary exists and is not yet the file
};
