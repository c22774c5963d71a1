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
            items << QString(info.isExecutable() ? "x:" : "f:") + name + '='
                         + (info.size() < 100 ? readFile(it.filePath()) : QByteArray::number(info.size()) + " bytes");
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
    void backupEntries_data();
    void backupEntries();
    void restoreReplacesTarget();
    void formatSize_data();
    void formatSize();
    void failures_data();
    void failures();
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

void tst_FileSystem::failures_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("as"); // root, nobody, or root with <T>/volume a 1 MiB tmpfs
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("added"); // entries that stay from before the failure

    // Work goes in name order without regard to case; a failure deep down ends the walk.
    // clang-format off
    QTest::newRow("copy onto an existing file") << "copy src dst" << "root"
        << QStringList{"[error] Failed to copy file <T>/src/b to <T>/dst/b"} << QStringList{"f:dst/A=a"};
    QTest::newRow("copy with a failure in a sub-folder") << "copy src dst2" << "root"
        << QStringList{"[error] Failed to copy file <T>/src/sub/1 to <T>/dst2/sub/1"} << QStringList{"f:dst2/A=a", "f:dst2/C=c", "f:dst2/b=new"};
    QTest::newRow("copy of a file only root may read") << "copy secret open" << "nobody"
        << QStringList{"[error] Failed to copy file <T>/secret/s to <T>/open/s"} << QStringList();
    QTest::newRow("copy onto a full volume, no partial file") << "copy big volume/copy" << "volume"
        << QStringList{"[error] Failed to copy file <T>/big/a to <T>/volume/copy/a"} << QStringList();
    QTest::newRow("removal of a file") << "remove backup" << "nobody"
        << QStringList{"[error] Failed to remove file <T>/backup/DB_dump.db"} << QStringList();
    QTest::newRow("removal of a folder") << "remove backup2" << "nobody"
        << QStringList{"[error] Failed to remove folder <T>/backup2/assets"} << QStringList();
    QTest::newRow("restore") << "restore src media" << "nobody"
        << QStringList{"[error] Failed to remove file <T>/media/old", "[error] Failed to remove existing folder <T>/media"} << QStringList();
    QTest::newRow("check: missing source, nothing made") << "check none new/assets" << "root"
        << QStringList{"[error] File <T>/none does not exist."} << QStringList();
    QTest::newRow("check: folder cannot be made") << "check src media/old/x/y" << "root"
        << QStringList{"[error] Failed to create folder <T>/media/old/x"} << QStringList();
    QTest::newRow("check: not writable") << "check src media" << "nobody"
        << QStringList{"[error] User does not have permission to write to <T>/media"} << QStringList();
    QTest::newRow("check: not enough space, shown as passed in") << "check big volume/work/assets" << "volume"
        << QStringList{"[error] Not enough space available at volume/work/assets. Need at least 2.00 MB, but available space is 1.05 MB."}
        << QStringList();
    QTest::newRow("check: exactly the available size passes") << "check exact volume/work/assets" << "volume"
        << QStringList() << QStringList();
    // clang-format on
}

void tst_FileSystem::failures()
{
    QFETCH(QString, operation);
    QFETCH(QString, as);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, added);
    QTemporaryDir tmp;
    ServerConfig config;
    config.serverFolder = tmp.path() + '/';
    QVERIFY(setMode(tmp.path(), 0755) && QDir().mkpath(tmp.filePath("open")) && setMode(tmp.filePath("open"), 0777));
    QVERIFY(makeTree(tmp.path(), {"f:src/A=a", "f:src/b=new", "f:src/C=c", "f:src/sub/1=x", "f:src/z=z", "f:dst/b=old",
                                  "f:dst2/sub/1=old", "f:secret/s=s", "f:media/old=2", "f:backup/DB_dump.db=1",
                                  "f:backup/db_dump.sql=2", "f:backup2/assets/deep/file=1", "f:backup2/db_dump.db=2", "d:volume"}));
    QVERIFY(setMode(tmp.filePath("secret/s"), 0600));
    for (const auto& [name, size] : {std::pair<const char*, qint64>{"big/a", 2000000}, {"exact/a", 1 << 20}}) {
        QFile sparse(tmp.filePath(name)); // takes no room on disk
        QVERIFY(QDir().mkpath(QFileInfo(sparse).path()) && sparse.open(QIODevice::WriteOnly) && sparse.resize(size));
    }
    QStringList expected = describeTree(tmp.path()) + added;
    expected.sort();

    const QStringList words = operation.split(' ');
    const QString from = tmp.filePath(words[1]);
    TraceCapture trace;
    QCOMPARE(runInChild([&] {
                 if ((as == "nobody" && !becomeNobody()) || (as == "volume" && !mountSmallVolume(tmp.filePath("volume"), 1 << 20)))
                     return false;
                 const bool succeeded = words[0] == "copy"      ? copyFolder(from, tmp.filePath(words[2]))
                                        : words[0] == "remove"  ? removeBackupEntries(from)
                                        : words[0] == "restore" ? restoreFolder(config, from, words[2])
                                                                : ::checkDestination(config, from, words[2]);
                 // Nothing is left on the volume but the folders made on the way.
                 return succeeded == lines.isEmpty()
                        && (as != "volume" || describeTree(tmp.filePath("volume")).filter("f:").isEmpty());
             }),
             0);
    QCOMPARE(trace.lines(), lines.replaceInStrings("<T>", tmp.path()));
    QCOMPARE(describeTree(tmp.path()), expected);
}

QTEST_GUILESS_MAIN(tst_FileSystem)
#include "tst_file_system.moc"
