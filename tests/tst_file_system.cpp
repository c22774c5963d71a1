// Folder walks and destination checks on real trees, as nobody, and on a full volume.
#include "fs/destination.h"
#include "fs/folder_ops.h"
#include "server/server_config.h"
#include "tests/support/support.h"

#include <QDirIterator>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

// Makes entries under root from "d:folder", "f:file=content", "x:file=content" (mode 0750),
// "l:link->target" and "p:fifo"; %T in a link target is the test folder.
bool makeTree(const QString& root, const QStringList& items, const QString& tmp = QString())
{
    for (const QString& item : items) {
        const QString name = item.mid(2).section('=', 0, 0).section("->", 0, 0);
        const QString path = root + '/' + name;
        const QString content = item.section('=', 1);
        QDir().mkpath(QFileInfo(path).path());
        const bool made = item[0] == 'd'   ? QDir().mkpath(path)
                          : item[0] == 'l' ? QFile::link(QString(item.section("->", 1)).replace("%T", tmp), path)
                          : item[0] == 'p' ? ::mkfifo(QFile::encodeName(path).constData(), 0644) == 0
                                           : writeFile(path, content.toUtf8()) && (item[0] == 'f' || setMode(path, 0750));
        if (!made)
            return false;
    }
    return true;
}

// Every entry below root in the notation of makeTree, sorted; hidden and special ones too.
QStringList describeTree(const QString& root)
{
    QStringList items;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString name = QDir(root).relativeFilePath(it.next());
        const QFileInfo info = it.fileInfo();
        if (info.isSymLink())
            items << "l:" + name + "->" + info.symLinkTarget();
        else if (info.isDir())
            items << "d:" + name;
        else if (info.isFile())
            items << QString(info.isExecutable() ? "x:" : "f:") + name + '=' + readFile(it.filePath());
        else
            items << "p:" + name;
    }
    items.sort();
    return items;
}

QString deepPath(int levels)
{
    QStringList parts;
    for (int i = 0; i < levels; ++i)
        parts << QString("l%1").arg(i);
    return parts.join('/');
}

} // namespace

class tst_FileSystem : public QObject {
    Q_OBJECT

private slots:
    void copyAndCount_data();
    void copyAndCount();
    void copyStopsAtFirstFailure_data();
    void copyStopsAtFirstFailure();
    void backupEntries_data();
    void backupEntries();
    void restoreReplacesTarget();
    void unprivileged_data();
    void unprivileged();
    void fullVolume_data();
    void fullVolume();
    void formatSize_data();
    void formatSize();
    void checkDestination_data();
    void checkDestination();
};

void tst_FileSystem::copyAndCount_data()
{
    QTest::addColumn<QStringList>("source");
    QTest::addColumn<QStringList>("copy");
    QTest::addColumn<qint64>("size");

    QStringList deep{"f:" + deepPath(200) + "/leaf=deep"};
    for (int levels = 1; levels <= 200; ++levels)
        deep << "d:" + deepPath(levels);
    deep.sort();
    // clang-format off
    QTest::newRow("files, folders and permission bits")
        << QStringList{"f:a.txt=alpha", "x:sub/run.sh=#!", "d:empty"}
        << QStringList{"d:empty", "d:sub", "f:a.txt=alpha", "x:sub/run.sh=#!"} << qint64(7);
    QTest::newRow("hidden entries, links and FIFOs are left out")
        << QStringList{"f:.hidden=xx", "f:.cache/x=yy", "f:real/file=1234", "l:to-file->real/file",
                       "l:to-folder->real", "l:dangling->nowhere", "l:loop->loop", "l:out->/etc", "p:pipe"}
        << QStringList{"d:real", "f:real/file=1234"} << qint64(4);
    QTest::newRow("names with blanks, newlines and other scripts")
        << QStringList{"f:shift plan.txt=a", "f:two\nlines=bb", "f:Übersicht é=ccc"}
        << QStringList{"f:shift plan.txt=a", "f:two\nlines=bb", "f:Übersicht é=ccc"} << qint64(6);
    QTest::newRow("a tree 200 levels deep") << QStringList{deep.last()} << deep << qint64(4);
    QTest::newRow("missing source") << QStringList{"-"} << QStringList() << qint64(0);
    // clang-format on
}

void tst_FileSystem::copyAndCount()
{
    QFETCH(QStringList, source);
    QFETCH(QStringList, copy);
    QFETCH(qint64, size);
    QTemporaryDir tmp;
    if (source != QStringList{"-"})
        QVERIFY(QDir().mkpath(tmp.filePath("source")) && makeTree(tmp.filePath("source"), source));
    TraceCapture trace;
    QVERIFY(copyFolder(tmp.filePath("source"), tmp.filePath("copy/nested")));
    QCOMPARE(trace.lines(), QStringList());
    QCOMPARE(describeTree(tmp.filePath("copy/nested")), copy);
    QCOMPARE(folderSize(tmp.filePath("source")), size);
}

void tst_FileSystem::copyStopsAtFirstFailure_data()
{
    QTest::addColumn<QStringList>("source");
    QTest::addColumn<QStringList>("target"); // before, then after the copy
    QTest::addColumn<QString>("failing");
    QTest::addColumn<QStringList>("after");

    // Siblings go in name order without regard to case; a failure below ends the whole walk.
    QTest::newRow("existing file is not overwritten")
        << QStringList{"f:A=a", "f:b=new", "f:C=c"} << QStringList{"f:b=old"} << "b" << QStringList{"f:A=a", "f:b=old"};
    QTest::newRow("failure in a sub-folder") << QStringList{"f:a/1=x", "f:a/2=new", "f:B/3=y"}
                                             << QStringList{"f:a/2=old"} << "a/2"
                                             << QStringList{"d:a", "f:a/1=x", "f:a/2=old"};
}

void tst_FileSystem::copyStopsAtFirstFailure()
{
    QFETCH(QStringList, source);
    QFETCH(QStringList, target);
    QFETCH(QString, failing);
    QFETCH(QStringList, after);
    QTemporaryDir tmp;
    QVERIFY(makeTree(tmp.filePath("source"), source) && makeTree(tmp.filePath("target"), target));
    TraceCapture trace;
    QVERIFY(!copyFolder(tmp.filePath("source"), tmp.filePath("target")));
    QCOMPARE(trace.lines(), QStringList{QString("[error] Failed to copy file %1/source/%2 to %1/target/%2").arg(tmp.path(), failing)});
    QCOMPARE(describeTree(tmp.filePath("target")), after);
}

void tst_FileSystem::backupEntries_data()
{
    QTest::addColumn<QStringList>("entries"); // of <T>/backup, beside <T>/outside
    QTest::addColumn<bool>("contains");
    QTest::addColumn<QStringList>("remaining");

    // clang-format off
    QTest::newRow("every entry in any letter case; others stay")
        << QStringList{"f:Assets/a/b=1", "f:assets/.hidden=2", "p:assets/pipe", "f:DB_DUMP.SQL=3", "f:db_dump.db=4",
                       "f:Reporting_Dump.db=5", "f:reporting_dump.sql=6", "f:bw-vellacor-backup-metadata.json={}",
                       "f:notes.txt=mine", "d:assets.old", "f:db_dump.sql.bak=7"}
        << true << QStringList{"d:assets.old", "f:db_dump.sql.bak=7", "f:notes.txt=mine"};
    QTest::newRow("links go as links, never followed")
        << QStringList{"l:assets->%T/outside", "l:db_dump.db->%T/outside/note"} << true << QStringList();
    QTest::newRow("links inside the assets tree")
        << QStringList{"l:assets/up->%T", "l:assets/note->%T/outside/note"} << true << QStringList();
    QTest::newRow("nothing of a backup") << QStringList{"f:.assets=1", "l:db_dump.db->nowhere"} << false
        << QStringList{"f:.assets=1", "l:db_dump.db->%T/backup/nowhere"};
    // clang-format on
}

void tst_FileSystem::backupEntries()
{
    QFETCH(QStringList, entries);
    QFETCH(bool, contains);
    QFETCH(QStringList, remaining);
    QTemporaryDir tmp;
    const QStringList outside{"d:outside/kept", "f:outside/kept/x=keep", "f:outside/note=keep"};
    QVERIFY(makeTree(tmp.path(), outside) && QDir().mkpath(tmp.filePath("backup")));
    QVERIFY(makeTree(tmp.filePath("backup"), entries, tmp.path()));
    QCOMPARE(containsBackupEntries(tmp.filePath("backup")), contains);
    TraceCapture trace;
    QVERIFY(removeBackupEntries(tmp.filePath("backup")));
    QCOMPARE(trace.lines(), QStringList());
    QCOMPARE(describeTree(tmp.filePath("backup")), remaining.replaceInStrings("%T", tmp.path()));
    QCOMPARE(describeTree(tmp.filePath("outside")), QStringList({"d:kept", "f:kept/x=keep", "f:note=keep"}));
}

void tst_FileSystem::restoreReplacesTarget()
{
    QTemporaryDir tmp;
    ServerConfig config;
    config.serverFolder = tmp.path() + '/';
    QVERIFY(makeTree(tmp.filePath("backup/assets"), {"f:images/new.png=N", "f:readme=R"}));
    QVERIFY(makeTree(tmp.filePath("media"), {"f:images/old.png=O", "f:images/.thumb=T", "f:readme=old",
                                             "f:.keep=K", "l:shortcut->images", "p:pipe"}));
    TraceCapture trace;
    // Relative to the server folder; hidden entries, links and FIFOs directly in it stay.
    QVERIFY(restoreFolder(config, tmp.filePath("backup/assets"), "media"));
    QVERIFY(restoreFolder(config, tmp.filePath("backup/assets"), "new/media"));
    QCOMPARE(trace.lines(), QStringList());
    QCOMPARE(describeTree(tmp.filePath("media")),
             QStringList({"d:images", "f:.keep=K", "f:images/new.png=N", "f:readme=R",
                          "l:shortcut->" + tmp.filePath("media/images"), "p:pipe"}));
    QCOMPARE(describeTree(tmp.filePath("new/media")), QStringList({"d:images", "f:images/new.png=N", "f:readme=R"}));
}

void tst_FileSystem::unprivileged_data()
{
    QTest::addColumn<QString>("operation"); // on folders that nobody may enter but not change
    QTest::addColumn<QStringList>("lines");
    // clang-format off
    QTest::newRow("copy of a file only root may read") << "copy"
        << QStringList{"[error] Failed to copy file <T>/source/secret to <T>/open/secret"};
    QTest::newRow("removal of a file") << "remove file" << QStringList{"[error] Failed to remove file <T>/backup/DB_dump.db"};
    QTest::newRow("removal of a folder") << "remove folder" << QStringList{"[error] Failed to remove folder <T>/backup2/assets"};
    QTest::newRow("restore") << "restore"
        << QStringList{"[error] Failed to remove file <T>/media/old", "[error] Failed to remove existing folder <T>/media"};
    QTest::newRow("destination not writable") << "check"
        << QStringList{"[error] User does not have permission to write to <T>/media"};
    // clang-format on
}

void tst_FileSystem::unprivileged()
{
    QFETCH(QString, operation);
    QFETCH(QStringList, lines);
    QTemporaryDir tmp;
    ServerConfig config;
    config.serverFolder = tmp.path() + '/';
    QVERIFY(setMode(tmp.path(), 0755) && QDir().mkpath(tmp.filePath("open")) && setMode(tmp.filePath("open"), 0777));
    QVERIFY(makeTree(tmp.path(), {"f:source/secret=s", "f:media/old=2", "f:backup/DB_dump.db=1", "f:backup/db_dump.sql=2",
                                  "f:backup2/assets/deep/file=1", "f:backup2/db_dump.db=2"}));
    QVERIFY(setMode(tmp.filePath("source/secret"), 0600));
    const QStringList before = describeTree(tmp.path());

    TraceCapture trace;
    QCOMPARE(runInChild([&] {
                 return becomeNobody()
                        && (operation == "copy"            ? copyFolder(tmp.filePath("source"), tmp.filePath("open"))
                            : operation == "remove file"   ? removeBackupEntries(tmp.filePath("backup"))
                            : operation == "remove folder" ? removeBackupEntries(tmp.filePath("backup2"))
                            : operation == "restore"       ? restoreFolder(config, tmp.filePath("source"), "media")
                                                           : ::checkDestination(config, tmp.filePath("source"), "media"));
             }),
             1);
    QCOMPARE(trace.lines(), lines.replaceInStrings("<T>", tmp.path()));
    QCOMPARE(describeTree(tmp.path()), before);
}

void tst_FileSystem::fullVolume_data()
{
    QTest::addColumn<QString>("source"); // "file", "folder" or "copy"
    QTest::addColumn<qint64>("extra");   // bytes beyond what the volume has available
    QTest::newRow("file of exactly the available size") << "file" << qint64(0);
    QTest::newRow("folder one byte too large") << "folder" << qint64(1);
    QTest::newRow("copy that does not fit") << "copy" << qint64(1);
}

void tst_FileSystem::fullVolume()
{
    QFETCH(QString, source);
    QFETCH(qint64, extra);
    QTemporaryDir tmp;
    ServerConfig config;
    config.serverFolder = tmp.path() + '/';
    const QString from = tmp.filePath("from");
    const auto sparseFile = [](const QString& path, qint64 size) {
        QFile file(path);
        return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) && file.resize(size);
    };

    TraceCapture trace;
    const int status = runInChild([&] {
        if (!mountSmallVolume(tmp.filePath("volume"), 1 << 20))
            return false;
        const qint64 available = QStorageInfo(tmp.filePath("volume")).bytesAvailable();
        const qint64 required = available + extra;
        if (source == "copy") // no partial file of the failed copy stays
            return sparseFile(from + "/a", required) && !copyFolder(from, tmp.filePath("volume/copy"))
                   && describeTree(tmp.filePath("volume")) == QStringList{"d:copy"};
        const bool made = source == "file" ? sparseFile(from, required)
                                           : sparseFile(from + "/a", required / 2) && writeFile(from + "/.hidden", "x")
                                                 && sparseFile(from + "/b/c", required - required / 2);
        std::fprintf(stderr, "Need at least %s, but available space is %s.\n",
                     qUtf8Printable(::formatSize(required)), qUtf8Printable(::formatSize(available)));
        return made && ::checkDestination(config, from, "volume/work/assets") == (extra == 0);
    });
    QCOMPARE(status, 0);
    const QStringList lines = trace.lines();
    if (source == "copy")
        QCOMPARE(lines, QStringList{QString("[error] Failed to copy file %1/a to %2/a").arg(from, tmp.filePath("volume/copy"))});
    else if (extra == 0)
        QCOMPARE(lines.size(), 1);
    else
        QCOMPARE(lines, QStringList({lines.first(), "[error] Not enough space available at volume/work/assets. " + lines.first()}));
}

void tst_FileSystem::formatSize_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << qint64(0) << "0.00 Bytes";
    QTest::newRow("largest in bytes") << qint64(999) << "999.00 Bytes";
    QTest::newRow("one kilobyte") << qint64(1000) << "1.00 KB";
    QTest::newRow("rounded") << qint64(1536000) << "1.54 MB";
    QTest::newRow("rounds up after the unit") << qint64(999999) << "1000.00 KB";
    QTest::newRow("beyond the last unit") << qint64(2000000000000000000) << "2000.00 PB";
    QTest::newRow("negative") << qint64(-1) << "-1.00 Bytes";
}

void tst_FileSystem::formatSize()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QLocale::setDefault(QLocale::German); // no decimal comma, no group separators
    QCOMPARE(::formatSize(bytes), text);
    QLocale::setDefault(QLocale::c());
}

void tst_FileSystem::checkDestination_data()
{
    // <T>: the test folder and server folder; it holds source.db and media/image.png.
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("line"); // empty: the check passes
    QTest::addColumn<QString>("made");   // folder that exists afterwards
    QTest::addColumn<QString>("absent"); // path that does not
    // clang-format off
    QTest::newRow("missing source: nothing made") << "missing" << "<T>/work/assets"
        << "[error] File <T>/missing does not exist." << "<T>" << "<T>/work";
    QTest::newRow("entry checked through its parent") << "media" << "<T>/work/assets" << "" << "<T>/work" << "<T>/work/assets";
    QTest::newRow("existing file: its folder") << "source.db" << "<T>/source.db" << "" << "<T>" << "<T>/x";
    QTest::newRow("relative, against the server folder") << "source.db" << "sqlite://data/main.db" << ""
        << "<T>/data" << "<T>/data/main.db";
    QTest::newRow("folder cannot be made") << "source.db" << "<T>/source.db/sub/main.db"
        << "[error] Failed to create folder <T>/source.db/sub" << "<T>" << "<T>/source.db/sub";
    // clang-format on
}

void tst_FileSystem::checkDestination()
{
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(QString, line);
    QFETCH(QString, made);
    QFETCH(QString, absent);
    QTemporaryDir tmp;
    ServerConfig config;
    config.serverFolder = tmp.path() + '/';
    QVERIFY(makeTree(tmp.path(), {"f:source.db=SQLite", "f:media/image.png=png"}));
    const auto expand = [&tmp](QString text) { return text.replace("<T>", tmp.path()); };
    TraceCapture trace;
    QCOMPARE(::checkDestination(config, tmp.filePath(source), expand(destination)), line.isEmpty());
    QCOMPARE(trace.lines(), line.isEmpty() ? QStringList() : QStringList{expand(line)});
    QVERIFY(QFileInfo(expand(made)).isDir());
    QVERIFY(!QFileInfo::exists(expand(absent)));
}

QTEST_GUILESS_MAIN(tst_FileSystem)
#include "tst_file_system.moc"
