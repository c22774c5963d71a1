// Fuzz target for the metadata loader. Byte 0 picks the skip list and the kind of target
// locations; the rest is the metadata file of a backup folder. Every folder the checks may
// create lies inside one temporary folder per process.
#include "backup/metadata.h"
#include "server/server_config.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Standard error holds only the tool's own lines: a message from Qt is a fault.
void failOnQtMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    std::fprintf(stderr, "Qt message: %s\n", qUtf8Printable(message));
    abort();
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A backup folder with entries that pass their checks, and an installation beside it.
struct Scratch {
    QTemporaryDir folder;
    QString work = folder.path() + "/backup/";
    QString server = folder.path() + "/installation/server/";

    Scratch()
    {
        qInstallMessageHandler(failOnQtMessage);
        if (!folder.isValid() || !QDir().mkpath(work + "assets/images") || !QDir().mkpath(server)
            || !writeFile(work + "db_dump.db", "SQLite format 3")
            || !writeFile(work + "reporting_dump.sql", "-- dump\n")
            || !writeFile(work + "assets/images/quay.svg", "<svg/>"))
            abort();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Scratch scratch;
    if (size < 1)
        return 0;
    if (!writeFile(scratch.work + "bw-vellacor-backup-metadata.json",
                   QByteArray(reinterpret_cast<const char*>(data) + 1, int(size) - 1)))
        abort();

    // Bits 0 to 2 skip "db", "reporting", "assets"; bit 3 adds items that must skip nothing.
    QStringList skip;
    const char* const keys[] = {"db", "reporting", "assets"};
    for (int i = 0; i < 3; ++i) {
        if (data[0] & (1 << i))
            skip << keys[i];
    }
    if (data[0] & 8)
        skip << "" << " db" << "Assets";

    ServerConfig config;
    config.workFolder = scratch.work;
    config.serverFolder = scratch.server;
    // Bit 4: locations relative to the server folder, else absolute ones.
    const QString targets = data[0] & 16 ? QString() : scratch.folder.path() + "/targets/";
    config.databaseLocation = "sqlite://" + targets + "data/main.db";
    config.reportingDatabaseLocation = "sqlite://" + targets + "data/reporting.db";
    config.assetRoot = targets + "media";

    QMap<QString, QString> restorePlan;
    if (!loadBackupData(config, skip, restorePlan))
        return 0;
    // A planned component is a selected one, restored from an entry strictly inside the backup.
    for (auto it = restorePlan.cbegin(); it != restorePlan.cend(); ++it) {
        if (skip.contains(it.key()) || !QDir::cleanPath(it.value()).startsWith(scratch.work)) {
            std::fprintf(stderr, "restore plan: %s from %s\n", qUtf8Printable(it.key()),
                         qUtf8Printable(it.value()));
            abort();
        }
    }
    return 0;
}
