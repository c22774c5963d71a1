// Folder walks and destination checks on real trees: copies, sizes, clearing, restores, failures
// as root, as nobody and on a full volume, and the size text.
#include "fs/destination.h"
#include "fs/folder_ops.h"
#include "report/size_text.h"
#include "server/server_config.h"
#include "sys/interrupt.h"
#include "tests/support/support.h"

#include <QtTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A test folder that also goes when it holds names that Qt cannot list (not UTF-8).
class TestFolder : public QTemporaryDir {
public:
    ~TestFolder()
    {
        const auto remove = [](const char* path, const struct stat*, int, FTW*) { return ::remove(path) * 0; };
        ::nftw(QFile::encodeName(path()), remove, 16, FTW_DEPTH | FTW_PHYS);
    }
};

} // namespace

class tst_FolderOps : public QObject {
    Q_OBJECT

private slots:
    void copyAndCount_data();
    void copyAndCount();
    void incrementalCopy_data();
    void incrementalCopy();
    void backupEntries_data();
    void backupEntries();
    void fileSystemFailures_data();
    void fileSystemFailures();
    void formatSize_data();
    void formatSize();
};

void tst_FolderOps::copyAndCount_data()
{
    QTest::addColumn<QStringList>("source"); // empty: none
    QTest::addColumn<QStringList>("copy");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("leftOut"); // how many, and the first
    QStringList deep;
    for (QString path = "l0"; deep.size() < 200; path += QString("/l%1").arg(deep.size()))
        deep << "d:" + path;
    deep << "f:" + deep.last().mid(2) + "/leaf=deep";
    deep.sort();
    // clang-format off
    QTest::newRow("files, folders and permission bits") << QStringList{"f:a.txt=alpha", "x:sub/run.sh=#!", "d:empty", "f:sub/.x=", "p:sub/.p"}
        << QStringList{"d:empty", "d:sub", "f:a.txt=alpha", "x:sub/run.sh=#!"} << qint64(7) << "2 sub/.p";
    QTest::newRow("hidden entries, links and FIFOs are left out")
        << QStringList{"f:.hidden=xx", "f:.cache/x=yy", "f:real/file=1234", "l:to-file->real/file", "l:to-folder->real",
                       "l:dangling->nowhere", "l:loop->loop", "l:out->/etc", "p:pipe"}
        << QStringList{"d:real", "f:real/file=1234"} << qint64(4) << "8 .cache";
    QTest::newRow("a tree 200 levels deep") << QStringList{deep.last()} << deep << qint64(4) << "0 ";
    QTest::newRow("names that are not UTF-8, empty and sparse files, one past 2 GiB")
        << QStringList{"f:caf%E9=x", "f:b%FF/in=y", "f:empty=", "s:huge=3000000000", "s:dense=17825792"}
        << QStringList{"d:b%FF", "f:b%FF/in=y", "f:caf%E9=x", "f:dense=17825792 bytes", "f:empty=", "f:huge=3000000000 bytes"} << qint64(3017825794)
        << "0 ";
    QTest::newRow("missing source") << QStringList() << QStringList() << qint64(0) << "0 ";
    // clang-format on
}

void tst_FolderOps::copyAndCount()
{
    QFETCH(QStringList, source);
    QFETCH(QStringList, copy);
    QFETCH(qint64, size);
    QFETCH(QString, leftOut);
    TestFolder tmp;
    QVERIFY(makeTree(tmp.filePath("source"), source));
    TraceCapture trace;
    CopyResult result;
    QVERIFY(copyFolder(tmp.filePath("source"), tmp.filePath("copy/nested"), CopyOptions(), result));
    QCOMPARE(trace.lines(), QStringList());
    QCOMPARE(QString("%1 %2").arg(result.leftOutEntries).arg(result.firstLeftOut), leftOut);
    QCOMPARE(describeTree(tmp.filePath("copy/nested")), copy);
    QCOMPARE(folderSize(tmp.filePath("source")), size);
    // Permission bits, modification time and holes are kept.
    for (const QString& file : describeTree(tmp.filePath("copy/nested"), true))
        QVERIFY2(describeTree(tmp.filePath("source"), true).contains(file), qPrintable(file));
}

void tst_FolderOps::incrementalCopy_data()
{
    QTest::addColumn<QString>("change"); // made after the earlier copy
    QTest::addColumn<QStringList>("linked"); // files taken over from the earlier copy; the others are copied
    QTest::newRow("unchanged files are linked") << "" << QStringList{"a", "d/b", "d/e/c"};
    QTest::newRow("same second, another nanosecond") << "touch" << QStringList{"a", "d/e/c"};
    QTest::newRow("other permission bits") << "chmod" << QStringList{"a", "d/e/c"};
    QTest::newRow("earlier copy on another file system") << "volume" << QStringList();
    QTest::newRow("stop request: nothing copied, no line") << "stop" << QStringList();
}

void tst_FolderOps::incrementalCopy()
{
    QFETCH(QString, change);
    QFETCH(QStringList, linked);
    TestFolder tmp;
    const QString source = tmp.filePath("source"), earlier = tmp.filePath("volume/earlier");
    const QString copy = tmp.filePath("copy");
    QVERIFY(makeTree(source, {"f:a=1", "x:d/b=22", "f:d/e/c=333"}));
    const auto copyAgain = [&] {
        if ((change == "volume" && !mountSmallVolume(tmp.filePath("volume"), 1 << 20)) || !copyFolder(source, earlier))
            return false;
        const QByteArray changed = QFile::encodeName(source + "/d/b");
        const timespec was = fileStatus(source + "/d/b").st_mtim;
        const timespec times[2] = {{0, UTIME_OMIT}, {was.tv_sec, (was.tv_nsec + 1) % 1000000000}};
        if ((change == "touch" && ::utimensat(AT_FDCWD, changed, times, 0) != 0)
            || (change == "chmod" && ::chmod(changed, 0700) != 0)
            || (change == "stop" && (!Interrupt::install() || ::raise(SIGTERM) != 0)))
            return false;
        CopyOptions options;
        options.stopWhenRequested = true;
        options.linkFromFolder = earlier;
        CopyResult result;
        const bool copied = copyFolder(source, copy, options, result);
        for (const QString file : {"a", "d/b", "d/e/c"}) { // a link shares the earlier copy's inode
            if ((fileStatus(copy + '/' + file).st_ino == fileStatus(earlier + '/' + file).st_ino) != linked.contains(file))
                return false;
        }
        if (change == "stop")
            return !copied && result.stopped && describeTree(copy).isEmpty();
        return copied && result.linkedFiles == linked.size() && result.copiedFiles == 3 - linked.size()
               && describeTree(copy) == describeTree(source);
    };
    TraceCapture trace;
    QCOMPARE(runInChild(copyAgain), 0);
    QCOMPARE(trace.lines(), QStringList());
}

void tst_FolderOps::backupEntries_data()
{
    QTest::addColumn<QStringList>("entries"); // of <T>/backup, beside <T>/outside
    QTest::addColumn<bool>("contains");
    QTest::addColumn<QStringList>("remaining");
    // clang-format off
    QTest::newRow("every entry in any letter case; others stay")
        << QStringList{"f:Assets/a/b=1", "f:assets/.hidden=2", "p:assets/pipe", "f:assets/caf%E9/%FF=8", "f:DB_DUMP.SQL=3", "f:db_dump.db=4", "f:Reporting_Dump.db=5",
                       "f:reporting_dump.sql=6", "f:bw-vellacor-backup-metadata.json={}", "f:notes=mine", "d:assets.old", "f:db_dump.sql.bak=7"}
        << true << QStringList{"d:assets.old", "f:db_dump.sql.bak=7", "f:notes=mine"};
    QTest::newRow("links go as links, never followed")
        << QStringList{"l:assets->%T/outside", "l:db_dump.db->%T/outside/note"} << true << QStringList();
    QTest::newRow("links inside the assets tree") << QStringList{"l:assets/up->%T", "l:assets/note->%T/outside/note"} << true << QStringList();
    QTest::newRow("nothing of a backup") << QStringList{"f:.assets=1", "l:db_dump.db->nowhere"} << false
        << QStringList{"f:.assets=1", "l:db_dump.db->%T/backup/nowhere"};
    // clang-format on
}

void tst_FolderOps::backupEntries()
{
    QFETCH(QStringList, entries);
    QFETCH(bool, contains);
    QFETCH(QStringList, remaining);
    TestFolder tmp;
    QVERIFY(makeTree(tmp.path(), {"f:outside/kept/x=keep", "f:outside/note=keep", "d:backup"}));
    QVERIFY(makeTree(tmp.filePath("backup"), entries, tmp.path()));
    QCOMPARE(containsBackupEntries(tmp.filePath("backup")), contains);
    TraceCapture trace;
    QVERIFY(removeBackupEntries(tmp.filePath("backup")));
    QCOMPARE(trace.lines(), QStringList());
    QCOMPARE(describeTree(tmp.filePath("backup")), remaining.replaceInStrings("%T", tmp.path()));
    QCOMPARE(describeTree(tmp.filePath("outside")), QStringList({"d:kept", "f:kept/x=keep", "f:note=keep"}));
}

void tst_FolderOps::fileSystemFailures_data()
{
    QTest::addColumn<QString>("operation");
    // root, nobody, "volume" (<T>/volume a 1 MiB tmpfs), "no threads" (nobody, one process)
    QTest::addColumn<QString>("as");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("added"); // entries made before the failure, which stay

    // Work goes in name order without regard to case; a failure deep down ends the walk.
    // clang-format off
    QTest::newRow("restore: hidden entries, links and FIFOs stay") << "restore src media" << "root" << QStringList()
        << QStringList{"f:media/A=a", "f:media/C=c", "f:media/b=new", "d:media/sub", "f:media/sub/1=x", "f:media/z=z"};
    QTest::newRow("copy with a failure in a sub-folder") << "copy src dst" << "root"
        << QStringList{"[error] <T>/dst/sub/1: File exists", "[error] Failed to copy file <T>/src/sub/1 to <T>/dst/sub/1"}
        << QStringList{"f:dst/A=a", "f:dst/C=c", "f:dst/b=new"};
    QTest::newRow("copy without threads, on the calling thread") << "copy src open/copy" << "no threads" << QStringList()
        << QStringList{"d:open/copy", "f:open/copy/A=a", "f:open/copy/C=c", "f:open/copy/b=new", "d:open/copy/sub", "f:open/copy/sub/1=x", "f:open/copy/z=z"};
    QTest::newRow("copy of a file only root may read") << "copy secret open" << "nobody"
        << QStringList{"[error] <T>/secret/s: Permission denied", "[error] Failed to copy file <T>/secret/s to <T>/open/s"} << QStringList();
    QTest::newRow("copy onto a full volume: nothing after the failure, no partial file") << "copy big volume/copy" << "volume"
        << QStringList{"[error] <T>/volume/copy/deep/a: No space left on device",
                       "[error] Failed to copy file <T>/big/deep/a to <T>/volume/copy/deep/a"} << QStringList();
    QTest::newRow("removal of a file") << "remove backup" << "nobody"
        << QStringList{"[error] <T>/backup/DB_dump.db: Permission denied", "[error] Failed to remove file <T>/backup/DB_dump.db"} << QStringList();
    QTest::newRow("removal of a folder: the reason names the file") << "remove backup2" << "nobody"
        << QStringList{"[error] <T>/backup2/assets/deep/file: Permission denied", "[error] Failed to remove folder <T>/backup2/assets"} << QStringList();
    QTest::newRow("restore") << "restore src media" << "nobody"
        << QStringList{"[error] <T>/media/old: Permission denied", "[error] Failed to remove file <T>/media/old", "[error] Failed to remove existing folder <T>/media"}
        << QStringList();
    QTest::newRow("check: missing source, nothing made") << "check none new/assets" << "root" << QStringList{"[error] File <T>/none does not exist."} << QStringList();
    QTest::newRow("check: not writable") << "check src media" << "nobody" << QStringList{"[error] User does not have permission to write to <T>/media"} << QStringList();
    QTest::newRow("check: not enough space, shown as passed in") << "check big volume/work/assets" << "volume"
        << QStringList{"[error] Not enough space available at volume/work/assets. Need at least 2.00 MB, but available space is 1.05 MB."} << QStringList();
    QTest::newRow("check: measured without threads") << "check big volume/work/assets" << "volume no threads"
        << QStringList{"[error] Not enough space available at volume/work/assets. Need at least 2.00 MB, but available space is 1.05 MB."} << QStringList();
    QTest::newRow("check: exactly the available size passes") << "check exact volume/work/assets" << "volume" << QStringList() << QStringList();
    // clang-format on
}

void tst_FolderOps::fileSystemFailures()
{
    QFETCH(QString, operation);
    QFETCH(QString, as);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, added);
    TestFolder tmp;
    ServerConfig config;
    config.serverFolder = tmp.path() + '/';
    QVERIFY(setMode(tmp.path(), 0755) && QDir().mkpath(tmp.filePath("open")) && setMode(tmp.filePath("open"), 0777));
    QVERIFY(makeTree(tmp.path(), {"f:src/A=a", "f:src/b=new", "f:src/C=c", "f:src/sub/1=x", "f:src/z=z", "f:dst/sub/1=old",
                                  "f:secret/s=s", "f:media/old=2", "f:media/zz%E9=3", "f:media/.keep=k", "p:media/pipe",
                                  "l:media/link->old", "f:backup/DB_dump.db=1", "f:backup/db_dump.sql=2", "d:volume",
                                  "f:backup2/assets/deep/file=1", "f:backup2/db_dump.db=2", "f:exact/a=" + QString(1 << 20, 'e')}));
    QVERIFY(setMode(tmp.filePath("secret/s"), 0600));
    // The other copy threads go on while the large file fails: what they copied after it goes again.
    QStringList later{"f:big/deep/a=" + QString(1999900, 'x')};
    for (int i = 0; i < 100; ++i)
        later << QString("f:big/%1/b%2=x").arg(i < 50 ? "deep" : "z").arg(i);
    QVERIFY(makeTree(tmp.path(), later));
    QStringList expected = describeTree(tmp.path()) + added;
    if (operation == "restore src media" && as == "root") // what the library held goes
        expected = expected.filter(QRegularExpression("^(?!f:media/(old|zz))"));
    expected.sort();

    const QStringList words = operation.split(' ');
    const QString from = tmp.filePath(words[1]);
    const auto run = [&] {
        // Root may start threads past the process limit; nobody may not.
        const rlimit oneProcess{1, 1};
        const bool onVolume = as.startsWith("volume");
        if ((onVolume && !mountSmallVolume(tmp.filePath("volume"), 1 << 20))
            || ((as == "nobody" || as.contains("threads")) && !becomeNobody())
            || (as.contains("threads") && ::setrlimit(RLIMIT_NPROC, &oneProcess) != 0))
            return false;
        const bool succeeded = words[0] == "copy"      ? copyFolder(from, tmp.filePath(words[2]))
                               : words[0] == "remove"  ? removeBackupEntries(from)
                               : words[0] == "restore" ? restoreFolder(config, from, words[2])
                                                       : ::checkDestination(config, from, words[2]);
        // Nothing is left on the volume but the folders made on the way.
        const QString volume = tmp.filePath("volume");
        const bool volumeClean = describeTree(volume).filter("f:").isEmpty() && !QFileInfo::exists(volume + "/copy/z");
        return succeeded == lines.isEmpty() && (!onVolume || volumeClean);
    };
    TraceCapture trace;
    QCOMPARE(runInChild(run), 0);
    QCOMPARE(trace.lines(), lines.replaceInStrings("<T>", tmp.path()));
    QCOMPARE(describeTree(tmp.path()), expected);
}

void tst_FolderOps::formatSize_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("largest in bytes") << qint64(999) << "999.00 Bytes";
    QTest::newRow("rounds up after the unit") << qint64(999999) << "1000.00 KB";
    QTest::newRow("beyond the last unit") << qint64(2000000000000000000) << "2000.00 PB";
    QTest::newRow("negative") << qint64(-1) << "-1.00 Bytes";
}

void tst_FolderOps::formatSize()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QLocale::setDefault(QLocale::German); // no decimal comma, no group separators
    QCOMPARE(::formatSize(bytes), text);
    QLocale::setDefault(QLocale::c());
}

QTEST_GUILESS_MAIN(tst_FolderOps)
#include "tst_folder_ops.moc"
