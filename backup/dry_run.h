// What a command would do, said without doing it: the plan of a --dry-run.
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

class ServerConfig;

// The rest of a backup's checks into backupFolderPath, made without writing anything (the
// folder's creation and permission, each selected component's source, the media library's
// room), then "Dry run: would back up ..." per component and "Dry run: would write the backup
// to ...". False, after the lines the real backup would write, when it would fail.
bool planBackup(const ServerConfig& config, const QString& backupFolderPath,
                const QStringList& skip);

// "Dry run: would restore %s from %s to %s" for each component of the checked restorePlan.
void planRestore(const ServerConfig& config, const QMap<QString, QString>& restorePlan);

// The last line of a dry run that would have gone ahead; returns true.
bool reportNothingChanged();
