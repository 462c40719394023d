#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>

// Looks through every file under the given folders for secrets that must never
// be written there: the password, its hash, a session id. A secret counts in
// the forms a careless writer would leave it in, not only as its own bytes.
namespace SecretScan {

inline QByteArrayList forms(const QByteArray &secret)
{
    const QString text = QString::fromLatin1(secret);
    const QByteArray utf16(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    return { secret, secret.toBase64(), secret.toHex(), utf16 };
}

// One "<file> holds secret <n>" line per file and secret found (n counts from
// 1, so a failing test does not print the secret itself). A root may be a
// folder, looked through with its subfolders, or a single file. Symbolic
// links are not followed: what they point at is not the folder's.
inline QStringList find(const QStringList &roots, const QByteArrayList &secrets)
{
    QStringList paths;
    for (const QString &root : roots) {
        if (QFileInfo(root).isFile())
            paths.append(root);
        QDirIterator files(root, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
        while (files.hasNext())
            paths.append(files.next());
    }
    QStringList found;
    for (const QString &path : std::as_const(paths)) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            found.append(path + QStringLiteral(" could not be read"));
            continue;
        }
        const QByteArray content = file.readAll();
        for (qsizetype i = 0; i < secrets.size(); ++i) {
            const QByteArrayList shapes = forms(secrets.at(i));
            const bool held = std::any_of(shapes.cbegin(), shapes.cend(),
                [&content](const QByteArray &form) { return !form.isEmpty() && content.contains(form); });
            if (held)
                found.append(path + QStringLiteral(" holds secret ") + QString::number(i + 1));
        }
    }
    return found;
}

} // namespace SecretScan
