// Folder walks on real trees: what is copied and counted, what is cleared, and in which order
// the walks meet failures.
#include "fs/folder_ops.h"
#include "server/server_config.h"
#include "tests/support/test_support.h"

#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Builds entries under root from lines of a small notation:
//   "d:path"           a folder          "f:path=content"  a file
//   "l:path->target"   a symbolic link   "p:path"          a FIFO
//   "s:path"           a UNIX socket (left bound, so it stays a socket)
bool makeTree(const QString& root, const QStringList& items)
{
    for (const QString& item : items) {
        const QString rest = item.mid(2);
        const QString path = root + QLatin1Char('/') + rest.section(QLatin1Char('='), 0, 0)
                                                           .section(QStringLiteral("->"), 0, 0);
        QDir().mkpath(QFileInfo(path).absolutePath());
        const QByteArray native = QFile::encodeName(path);
        bool made = false;
        switch (item.at(0).toLatin1()) {
        case 'd':
            made = QDir().mkpath(path);
            break;
        case 'f':
            made = writeFile(path, rest.section(QLatin1Char('='), 1).toUtf8());
            break;
        case 'l':
            made = QFile::link(rest.section(QStringLiteral("->"), 1), path);
            break;
        case 'p':
            made = ::mkfifo(native.constData(), 0644) == 0;
            break;
        case 's': {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            if (size_t(native.size()) >= sizeof address.sun_path)
                return false;
            qstrcpy(address.sun_path, native.constData());
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            made = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            ::close(fd);
            break;
        }
        }
        if (!made)
            return false;
    }
    return true;
}

// Every entry below root in the notation of makeTree, sorted; hidden and special entries too.
QStringList describeTree(const QString& root)
{
    QStringList items;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = QDir(root).relativeFilePath(path);
        if (info.isSymLink())
            items << QStringLiteral("l:") + relative + QStringLiteral("->") + info.symLinkTarget();
        else if (info.isDir())
            items << QStringLiteral("d:") + relative;
        else if (info.isFile())
            items << QStringLiteral("f:") + relative + QLatin1Char('=')
                         + QString::fromUtf8(readFile(path));
        else
            items << QStringLiteral("p:") + relative;
    }
    items.sort();
    return items;
}

QString deepPath(int levels)
{
    QStringList parts;
    for (int i = 0; i < levels; ++i)
        parts << QStringLiteral("l%1").arg(i);
    return parts.join(QLatin1Char('/'));
}

// Folders that "nobody" may enter but not change, for the unprivileged cases.
bool lockForNobody(const QString& folder)
{
    return ::chmod(QFile::encodeName(folder).constData(), 0755) == 0;
}

} // namespace

class tst_FolderOps : public QObject {
    Q_OBJECT

private slots:
    void copyAndCount_data();
    void copyAndCount();
    void copyKeepsPermissionBits();
    void copyStopsAtFirstFailure_data();
    void copyStopsAtFirstFailure();
    void copyUnreadableFileUnprivileged();
    void fullVolumeFailsTheCopy();
    void containsBackupEntries_data();
    void containsBackupEntries();
    void removeBackupEntries_data();
    void removeBackupEntries();
    void removeFailsUnprivileged_data();
    void removeFailsUnprivileged();
    void restoreReplacesTarget_data();
    void restoreReplacesTarget();
    void restoreFailsUnprivileged();
};

void tst_FolderOps::copyAndCount_data()
{
    QTest::addColumn<QStringList>("source");   // under <tmp>/source
    QTest::addColumn<QStringList>("expected"); // what the copy holds
    QTest::addColumn<qint64>("size");

    // clang-format off
    QTest::newRow("files and folders")
        << QStringList{"f:a.txt=alpha", "f:sub/b.bin=0123456789", "d:empty"}
        << QStringList{"d:empty", "d:sub", "f:a.txt=alpha", "f:sub/b.bin=0123456789"} << qint64(15);
    QTest::newRow("hidden entries are left out")
        << QStringList{"f:.hidden=xx", "f:.config/settings=yy", "f:seen=z"}
        << QStringList{"f:seen=z"} << qint64(1);
    QTest::newRow("links are neither followed nor copied")
        << QStringList{"f:real/file=1234", "l:to-file->real/file", "l:to-folder->real",
                       "l:dangling->nowhere", "l:loop->loop", "l:outside->/etc"}
        << QStringList{"d:real", "f:real/file=1234"} << qint64(4);
    QTest::newRow("special files are passed over")
        << QStringList{"p:pipe", "s:sock", "f:kept=k"}
        << QStringList{"f:kept=k"} << qint64(1);
    QTest::newRow("names with blanks, newlines and other scripts")
        << QStringList{"f:shift plan.txt=a", "f:two\nlines=bb", "f:Übersicht é.txt=ccc"}
        << QStringList{"f:shift plan.txt=a", "f:two\nlines=bb", "f:Übersicht é.txt=ccc"}
        << qint64(6);
    QStringList deepTree;
    for (int levels = 1; levels <= 200; ++levels)
        deepTree << "d:" + deepPath(levels);
    deepTree << "f:" + deepPath(200) + "/leaf=deep";
    deepTree.sort();
    QTest::newRow("a tree 200 levels deep")
        << QStringList{"f:" + deepPath(200) + "/leaf=deep"} << deepTree << qint64(4);
    QTest::newRow("missing source") << QStringList() << QStringList() << qint64(0);
    // clang-format on
}

void tst_FolderOps::copyAndCount()
{
    QFETCH(QStringList, source);
    QFETCH(QStringList, expected);
    QFETCH(qint64, size);
    QTemporaryDir tmp;
    const QString sourceFolder = tmp.filePath(QStringLiteral("source"));
    const QString copy = tmp.filePath(QStringLiteral("copy/nested"));
    QVERIFY(makeTree(sourceFolder, source));

    TraceCapture trace;
    QVERIFY(copyFolder(sourceFolder, copy));
    QCOMPARE(trace.lines(), QStringList());
    QCOMPARE(describeTree(copy), expected);
    QCOMPARE(folderSize(sourceFolder), size);
}

void tst_FolderOps::copyKeepsPermissionBits()
{
    QTemporaryDir tmp;
    const QString source = tmp.filePath("source");
    QVERIFY(makeTree(source, {"f:run.sh=#!/bin/sh", "f:private=p"}));
    QVERIFY(::chmod(QFile::encodeName(source + "/run.sh").constData(), 0754) == 0);
    QVERIFY(::chmod(QFile::encodeName(source + "/private").constData(), 0600) == 0);

    QVERIFY(copyFolder(source, tmp.filePath("copy")));
    struct stat copied {};
    QCOMPARE(::stat(QFile::encodeName(tmp.filePath("copy/run.sh")).constData(), &copied), 0);
    QCOMPARE(copied.st_mode & 07777, mode_t(0754));
    QCOMPARE(::stat(QFile::encodeName(tmp.filePath("copy/private")).constData(), &copied), 0);
    QCOMPARE(copied.st_mode & 07777, mode_t(0600));
}

void tst_FolderOps::copyStopsAtFirstFailure_data()
{
    QTest::addColumn<QStringList>("source");
    QTest::addColumn<QStringList>("destination"); // what the destination holds before
    QTest::addColumn<QString>("failingEntry");    // relative to source and destination
    QTest::addColumn<QStringList>("copiedAfter"); // entries of the destination afterwards

    // Siblings are worked in name order without regard to case, so "b" comes between "A"
    // and "C", and a nested failure ends the whole walk.
    // clang-format off
    QTest::newRow("existing file is not overwritten")
        << QStringList{"f:A.txt=a", "f:b.txt=new", "f:C.txt=c"}
        << QStringList{"f:b.txt=old"} << "b.txt"
        << QStringList{"f:A.txt=a", "f:b.txt=old"};
    QTest::newRow("failure in a sub-folder ends the walk")
        << QStringList{"f:a/1=x", "f:a/2=new", "f:b/3=y"}
        << QStringList{"f:a/2=old"} << "a/2"
        << QStringList{"d:a", "f:a/1=x", "f:a/2=old"};
    // clang-format on
}

void tst_FolderOps::copyStopsAtFirstFailure()
{
    QFETCH(QStringList, source);
    QFETCH(QStringList, destination);
    QFETCH(QString, failingEntry);
    QFETCH(QStringList, copiedAfter);
    QTemporaryDir tmp;
    const QString sourceFolder = tmp.filePath(QStringLiteral("source"));
    const QString target = tmp.filePath(QStringLiteral("target"));
    QVERIFY(makeTree(sourceFolder, source));
    QVERIFY(makeTree(target, destination));

    TraceCapture trace;
    QVERIFY(!copyFolder(sourceFolder, target));
    QCOMPARE(trace.lines(),
             QStringList{QStringLiteral("[error] Failed to copy file %1/%2 to %3/%2")
                             .arg(sourceFolder, failingEntry, target)});
    QCOMPARE(describeTree(target), copiedAfter);
}

void tst_FolderOps::copyUnreadableFileUnprivileged()
{
    QTemporaryDir tmp;
    QVERIFY(lockForNobody(tmp.path()));
    const QString source = tmp.filePath(QStringLiteral("source"));
    const QString target = tmp.filePath(QStringLiteral("target"));
    QVERIFY(makeTree(source, {QStringLiteral("f:secret=root only")}));
    QVERIFY(QFile::setPermissions(source + QStringLiteral("/secret"), QFile::ReadOwner));
    QVERIFY(QDir().mkpath(target));
    QVERIFY(::chmod(QFile::encodeName(target).constData(), 0777) == 0);

    TraceCapture trace;
    QCOMPARE(runInChild([&] { return becomeNobody() && copyFolder(source, target); }), 1);
    QCOMPARE(trace.lines(), QStringList{QStringLiteral("[error] Failed to copy file %1/secret to "
                                                       "%2/secret")
                                            .arg(source, target)});
    QCOMPARE(describeTree(target), QStringList());
}

void tst_FolderOps::fullVolumeFailsTheCopy()
{
    QTemporaryDir tmp;
    const QString source = tmp.filePath(QStringLiteral("source"));
    const QString volume = tmp.filePath(QStringLiteral("volume"));
    QVERIFY(makeTree(source, {QStringLiteral("f:a-small=fits")}));
    QVERIFY(writeFile(source + QStringLiteral("/b-large"), QByteArray(2 * 1024 * 1024, 'x')));

    TraceCapture trace;
    const int status = runInChild([&] {
        if (!mountSmallVolume(volume, 1024 * 1024)) {
            std::fputs("cannot mount a tmpfs\n", stderr); // shows in the line comparison
            return false;
        }
        const bool copied = copyFolder(source, volume + QStringLiteral("/copy"));
        // No partial file of the failed copy is left on the volume.
            return !copied && describeTree(volume)
                              == QStringList{QStringLiteral("d:copy"),
                                             QStringLiteral("f:copy/a-small=fits")};
    });
    QCOMPARE(status, 0);
    QCOMPARE(trace.lines(), QStringList{QStringLiteral("[error] Failed to copy file %1/b-large to "
                                                       "%2/copy/b-large")
                                            .arg(source, volume)});
}

void tst_FolderOps::containsBackupEntries_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("contains");

    // clang-format off
    QTest::newRow("empty folder")             << QStringList() << false;
    QTest::newRow("missing folder")           << QStringList{"-"} << false;
    QTest::newRow("assets folder")            << QStringList{"d:assets"} << true;
    QTest::newRow("letter case is ignored")   << QStringList{"d:Assets"} << true;
    QTest::newRow("capital dump name")        << QStringList{"f:DB_DUMP.SQL=x"} << true;
    QTest::newRow("metadata alone")           << QStringList{"f:bw-vellacor-backup-metadata.json={}"} << true;
    QTest::newRow("names match only whole")   << QStringList{"d:assets.old", "f:db_dump.sql.bak=x",
                                                             "f:my_reporting_dump.db=x"} << false;
    QTest::newRow("link named like an entry") << QStringList{"d:elsewhere", "l:assets->elsewhere"} << true;
    QTest::newRow("dangling link")            << QStringList{"l:db_dump.db->nowhere"} << false;
    QTest::newRow("hidden entries")           << QStringList{"f:.assets=x"} << false;
    // clang-format on
}

void tst_FolderOps::containsBackupEntries()
{
    QFETCH(QStringList, entries);
    QFETCH(bool, contains);
    QTemporaryDir tmp;
    const QString folder = tmp.filePath(QStringLiteral("backup"));
    if (entries != QStringList{QStringLiteral("-")}) {
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(makeTree(folder, entries));
    }
    QCOMPARE(::containsBackupEntries(folder), contains);
}

void tst_FolderOps::removeBackupEntries_data()
{
    QTest::addColumn<QStringList>("entries");   // under <tmp>/backup
    QTest::addColumn<QStringList>("remaining"); // of the backup folder
    QTest::addColumn<QStringList>("outside");   // <tmp>/outside, which must stay whole

    const QStringList outside{"d:kept", "f:kept/important=keep", "f:note=keep"};
    // clang-format off
    QTest::newRow("assets tree and dumps go, other entries stay")
        << QStringList{"f:assets/a/b=1", "f:assets/.hidden=2", "p:assets/pipe", "f:db_dump.db=3",
                       "f:Reporting_Dump.SQL=4", "f:bw-vellacor-backup-metadata.json={}",
                       "f:notes.txt=mine", "d:assets.old"}
        << QStringList{"d:assets.old", "f:notes.txt=mine"} << outside;
    QTest::newRow("link named assets goes as a link")
        << QStringList{"l:assets->" + QStringLiteral("%1/kept")}
        << QStringList() << outside;
    QTest::newRow("link to a file goes as a link")
        << QStringList{"l:db_dump.db->" + QStringLiteral("%1/note")}
        << QStringList() << outside;
    QTest::newRow("links inside the assets tree are not followed")
        << QStringList{"l:assets/up->" + QStringLiteral("%1"), "l:assets/file->%1/note"}
        << QStringList() << outside;
    QTest::newRow("nothing to remove") << QStringList{"f:other=1"} << QStringList{"f:other=1"}
                                       << outside;
    // clang-format on
}

void tst_FolderOps::removeBackupEntries()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, remaining);
    QFETCH(QStringList, outside);
    QTemporaryDir tmp;
    const QString folder = tmp.filePath(QStringLiteral("backup"));
    const QString outsideFolder = tmp.filePath(QStringLiteral("outside"));
    QVERIFY(makeTree(outsideFolder, outside));
    QVERIFY(QDir().mkpath(folder));
    for (QString& entry : entries)
        entry.replace(QStringLiteral("%1"), outsideFolder);
    QVERIFY(makeTree(folder, entries));

    TraceCapture trace;
    QVERIFY(::removeBackupEntries(folder));
    QCOMPARE(trace.lines(), QStringList());
    QCOMPARE(describeTree(folder), remaining);
    QCOMPARE(describeTree(outsideFolder), outside);
}

void tst_FolderOps::removeFailsUnprivileged_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("line"); // %1: the backup folder

    // The folder lets nobody in but not change it; entries are met in name order.
    // clang-format off
    QTest::newRow("file") << QStringList{"f:DB_dump.db=1", "f:reporting_dump.db=2"}
                          << "[error] Failed to remove file %1/DB_dump.db";
    QTest::newRow("folder") << QStringList{"f:assets/deep/file=1", "f:db_dump.db=2"}
                            << "[error] Failed to remove folder %1/assets";
    // clang-format on
}

void tst_FolderOps::removeFailsUnprivileged()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, line);
    QTemporaryDir tmp;
    QVERIFY(lockForNobody(tmp.path()));
    const QString folder = tmp.filePath(QStringLiteral("backup"));
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(makeTree(folder, entries));
    const QStringList before = describeTree(folder);

    TraceCapture trace;
    QCOMPARE(runInChild([&] { return becomeNobody() && ::removeBackupEntries(folder); }), 1);
    QCOMPARE(trace.lines(), QStringList{line.arg(folder)});
    QCOMPARE(describeTree(folder), before);
}

void tst_FolderOps::restoreReplacesTarget_data()
{
    QTest::addColumn<QStringList>("source");
    QTest::addColumn<QStringList>("target"); // "-": no target folder
    QTest::addColumn<QString>("location");   // relative ones are taken against the server folder
    QTest::addColumn<QStringList>("result");

    // clang-format off
    QTest::newRow("listed entries are replaced, hidden ones and links stay")
        << QStringList{"f:images/new.png=N", "f:readme=R"}
        << QStringList{"f:images/old.png=O", "f:images/.thumb=T", "f:readme=old", "f:.keep=K",
                       "l:shortcut->images", "p:pipe"}
        << "%1/media"
        << QStringList{"d:images", "f:.keep=K", "f:images/new.png=N", "f:readme=R",
                       "l:shortcut->%1/media/images", "p:pipe"};
    QTest::newRow("missing target is created")
        << QStringList{"f:a=1"} << QStringList{"-"} << "%1/media" << QStringList{"f:a=1"};
    QTest::newRow("relative location under the server folder")
        << QStringList{"f:a=1"} << QStringList{"f:b=2"} << "media" << QStringList{"f:a=1"};
    // clang-format on
}

void tst_FolderOps::restoreReplacesTarget()
{
    QFETCH(QStringList, source);
    QFETCH(QStringList, target);
    QFETCH(QString, location);
    QFETCH(QStringList, result);
    QTemporaryDir tmp;
    ServerConfig config;
    config.serverFolder = tmp.path() + QStringLiteral("/");
    const QString sourceFolder = tmp.filePath(QStringLiteral("backup/assets"));
    const QString media = tmp.filePath(QStringLiteral("media"));
    QVERIFY(makeTree(sourceFolder, source));
    if (target != QStringList{QStringLiteral("-")}) {
        QVERIFY(QDir().mkpath(media));
        QVERIFY(makeTree(media, target));
    }
    for (QString& item : result)
        item.replace(QStringLiteral("%1"), tmp.path());

    TraceCapture trace;
    QVERIFY(restoreFolder(config, sourceFolder, location.arg(tmp.path())));
    QCOMPARE(trace.lines(), QStringList());
    QCOMPARE(describeTree(media), result);
}

void tst_FolderOps::restoreFailsUnprivileged()
{
    QTemporaryDir tmp;
    QVERIFY(lockForNobody(tmp.path()));
    ServerConfig config;
    config.serverFolder = tmp.path() + QStringLiteral("/");
    const QString sourceFolder = tmp.filePath(QStringLiteral("backup/assets"));
    const QString media = tmp.filePath(QStringLiteral("media"));
    QVERIFY(makeTree(sourceFolder, {QStringLiteral("f:a=1")}));
    QVERIFY(makeTree(media, {QStringLiteral("f:old=2")}));

    TraceCapture trace;
    QCOMPARE(runInChild([&] {
                 return becomeNobody() && restoreFolder(config, sourceFolder, media);
             }),
             1);
    QCOMPARE(trace.lines(),
             (QStringList{QStringLiteral("[error] Failed to remove file %1/old").arg(media),
                          QStringLiteral("[error] Failed to remove existing folder %1").arg(media)}));
    QCOMPARE(describeTree(media), QStringList{QStringLiteral("f:old=2")});
}

QTEST_GUILESS_MAIN(tst_FolderOps)
#include "tst_folder_ops.moc"
