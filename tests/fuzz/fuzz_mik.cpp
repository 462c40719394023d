// libFuzzer entry: a damaged or hostile container on a card must never crash
// the tool, hang it or make it allocate without bound.
#include <QDir>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>

#include "containerexercise.h"

namespace {
void dropMessages(QtMsgType, const QMessageLogContext &, const QString &) {}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // On a RAM disk when there is one: every input is written to files.
    static QTemporaryDir folder(QDir(QStringLiteral("/dev/shm")).exists()
                                    ? QStringLiteral("/dev/shm/fuzz_mik-XXXXXX")
                                    : QDir::tempPath() + QStringLiteral("/fuzz_mik-XXXXXX"));
    static const bool quiet = (qInstallMessageHandler(dropMessages), true);
    Q_UNUSED(quiet);
    exerciseContainer(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)), folder.path());
    return 0;
}
