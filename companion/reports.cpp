// What the companion tells about the backups: the list for the administrator and the metrics
// for monitoring.
#include "companion/backup_scan.h"
#include "companion/commands.h"

#include "fs/folder_ops.h"
#include "platform/brisken/trace.h"
#include "report/size_text.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cstdio>

namespace {

QString stateText(const BackupEntry& backup)
{
    if (backup.inProgress)
        return QStringLiteral("in progress");
    return backup.complete ? QStringLiteral("complete") : QStringLiteral("incomplete");
}

QByteArray table(const QList<BackupEntry>& backups)
{
    QList<QStringList> rows{{QStringLiteral("TIME"), QStringLiteral("VERSION"),
                             QStringLiteral("COMPONENTS"), QStringLiteral("SIZE"),
                             QStringLiteral("STATE"), QStringLiteral("PATH")}};
    for (const BackupEntry& backup : backups)
        rows << QStringList{QDateTime::fromMSecsSinceEpoch(backup.timeMs)
                                .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
                            backup.version.isEmpty() ? QStringLiteral("-") : backup.version,
                            backup.components.isEmpty() ? QStringLiteral("-")
                                                        : backup.components.join(QLatin1Char(',')),
                            formatSize(folderSize(backup.path)), stateText(backup), backup.path};
    QList<int> widths;
    for (const QString& heading : rows.first())
        widths << heading.size();
    for (const QStringList& row : rows)
        for (int column = 0; column < row.size(); ++column)
            widths[column] = qMax(widths[column], row[column].size());
    QString text;
    for (const QStringList& row : rows) {
        QString line;
        for (int column = 0; column < row.size() - 1; ++column)
            line += row[column].leftJustified(widths[column] + 2);
        text += line + row.last() + QLatin1Char('\n');
    }
    return text.toUtf8();
}

QByteArray json(const QList<BackupEntry>& backups)
{
    QJsonArray array;
    for (const BackupEntry& backup : backups) {
        QJsonObject object;
        object.insert(QStringLiteral("path"), backup.path);
        object.insert(QStringLiteral("time"), QDateTime::fromMSecsSinceEpoch(backup.timeMs, Qt::UTC)
                                                  .toString(Qt::ISODateWithMs));
        object.insert(QStringLiteral("version"), backup.version.isEmpty()
                                                     ? QJsonValue(QJsonValue::Null)
                                                     : QJsonValue(backup.version));
        object.insert(QStringLiteral("components"), QJsonArray::fromStringList(backup.components));
        object.insert(QStringLiteral("size_bytes"), double(folderSize(backup.path)));
        object.insert(QStringLiteral("complete"), backup.complete);
        object.insert(QStringLiteral("in_progress"), backup.inProgress);
        array.append(object);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Compact) + '\n';
}

void addMetric(QByteArray& text, const char* name, const char* help, const QByteArray& value)
{
    text += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + " gauge\n" + name
            + ' ' + value + '\n';
}

QByteArray exposition(const QList<BackupEntry>& backups)
{
    const BackupEntry newest = newestComplete(backups);
    int complete = 0;
    for (const BackupEntry& backup : backups)
        complete += backup.complete ? 1 : 0;
    // Seconds with the milliseconds of the folder name; 0 while there is no complete backup.
    const qint64 ms = newest.timeMs;
    const QByteArray seconds =
        QByteArray::number(ms / 1000) + '.' + QByteArray::number(ms % 1000).rightJustified(3, '0');
    QByteArray text;
    addMetric(text, "bw_vellacor_backup_last_complete_timestamp_seconds",
              "When the newest complete backup was made, in seconds since 1970 (0: none).",
              seconds);
    addMetric(text, "bw_vellacor_backup_last_complete_size_bytes",
              "Bytes in the files of the newest complete backup.",
              QByteArray::number(folderSize(newest.path)));
    addMetric(text, "bw_vellacor_backups_complete", "Complete backups under the backup root.",
              QByteArray::number(complete));
    addMetric(text, "bw_vellacor_backups_incomplete",
              "Backups under the backup root that failed, were interrupted or are being written.",
              QByteArray::number(backups.size() - complete));
    return text;
}

} // namespace

bool writeStandardOutput(const QByteArray& bytes)
{
    QFile output;
    if (!output.open(stdout, QIODevice::WriteOnly) || output.write(bytes) != bytes.size()
        || !output.flush()) {
        Brisken::Trace::error("Failed to write to standard output: %s",
                              qUtf8Printable(output.errorString()));
        return false;
    }
    return true;
}

bool listBackups(const QString& root, bool asJson)
{
    const QList<BackupEntry> backups = findBackups(root);
    return writeStandardOutput(asJson ? json(backups) : table(backups));
}

bool writeMetrics(const QString& root, const QString& outputFile)
{
    const QByteArray text = exposition(findBackups(root));
    if (outputFile.isEmpty())
        return writeStandardOutput(text);
    // A temporary file in the same folder, renamed over the old one: the collector never
    // reads half a file.
    QSaveFile file(outputFile);
    if (!file.open(QIODevice::WriteOnly)
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                | QFileDevice::ReadGroup | QFileDevice::ReadOther)
        || file.write(text) != text.size() || !file.commit()) {
        Brisken::Trace::error("Failed to write the metrics to %s: %s", qUtf8Printable(outputFile),
                              qUtf8Printable(file.errorString()));
        return false;
    }
    return true;
}
