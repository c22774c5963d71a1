// The checks made before data is copied somewhere, on real folders and a real small volume.
#include "fs/destination.h"
#include "server/server_config.h"
#include "tests/support/test_support.h"

#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <sys/stat.h>

namespace {

// A file of the given size that takes no room on disk.
bool makeSparseFile(const QString& path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
}

} // namespace

class tst_Destination : public QObject {
    Q_OBJECT

private slots:
    void formatSize_data();
    void formatSize();
    void checkDestination_data();
    void checkDestination();
    void unwritableFolderUnprivileged();
    void spaceOnFullVolume_data();
    void spaceOnFullVolume();
};

void tst_Destination::formatSize_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");

    // clang-format off
    QTest::newRow("zero")                << qint64(0)                   << "0.00 Bytes";
    QTest::newRow("largest in bytes")    << qint64(999)                 << "999.00 Bytes";
    QTest::newRow("one kilobyte")        << qint64(1000)                << "1.00 KB";
    QTest::newRow("rounded")             << qint64(1536000)             << "1.54 MB";
    QTest::newRow("rounds after unit")   << qint64(999999)              << "1000.00 KB";
    QTest::newRow("terabytes")           << qint64(3500000000000)       << "3.50 TB";
    QTest::newRow("beyond the last unit")<< qint64(2000000000000000000) << "2000.00 PB";
    QTest::newRow("largest count")       << std::numeric_limits<qint64>::max() << "9223.37 PB";
    QTest::newRow("negative")            << qint64(-1)                  << "-1.00 Bytes";
    // clang-format on
}

void tst_Destination::formatSize()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    // A locale with a decimal comma and group separators must not show.
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German));
    const QString formatted = ::formatSize(bytes);
    QLocale::setDefault(saved);
    QCOMPARE(formatted, text);
}

void tst_Destination::checkDestination_data()
{
    // %1 in paths and lines: the test's folder, which is also the server folder.
    QTest::addColumn<QString>("source");      // "file" <tmp>/source.db, "folder" <tmp>/media
    QTest::addColumn<QString>("destination"); // as passed in
    QTest::addColumn<bool>("passes");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("createdFolder"); // must exist afterwards
    QTest::addColumn<QString>("absent");        // must not exist afterwards

    // clang-format off
    QTest::newRow("missing source: nothing created")
        << "missing" << "%1/work/assets" << false << "[error] File %1/missing does not exist."
        << "" << "%1/work";
    QTest::newRow("entry checked through its parent")
        << "folder" << "%1/work/assets" << true << "" << "%1/work" << "%1/work/assets";
    QTest::newRow("existing folder")
        << "folder" << "%1" << true << "" << "%1" << "";
    QTest::newRow("existing file: its folder")
        << "file" << "%1/source.db" << true << "" << "%1" << "";
    QTest::newRow("relative to the server folder")
        << "file" << "sqlite://data/main.db" << true << "" << "%1/data" << "%1/data/main.db";
    QTest::newRow("absolute sqlite location")
        << "file" << "sqlite://%1/abs/main.db" << true << "" << "%1/abs" << "";
    QTest::newRow("folder cannot be made")
        << "file" << "%1/source.db/sub/main.db" << false
        << "[error] Failed to create folder %1/source.db/sub" << "" << "";
    // clang-format on
}

void tst_Destination::checkDestination()
{
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(bool, passes);
    QFETCH(QString, line);
    QFETCH(QString, createdFolder);
    QFETCH(QString, absent);
    QTemporaryDir tmp;
    ServerConfig config;
    config.serverFolder = tmp.path() + QLatin1Char('/');
    const QString sourcePath = source == "file" ? tmp.filePath("source.db")
                               : source == "folder" ? tmp.filePath("media")
                                                    : tmp.filePath(source);
    QVERIFY(writeFile(tmp.filePath("source.db"), "SQLite format 3"));
    QVERIFY(writeFile(tmp.filePath("media/image.png"), QByteArray(5000, 'i')));

    TraceCapture trace;
    const auto expand = [&tmp](QString text) { return text.replace("%1", tmp.path()); };
    QCOMPARE(::checkDestination(config, sourcePath, expand(destination)), passes);
    QCOMPARE(trace.lines(), line.isEmpty() ? QStringList() : QStringList{expand(line)});
    if (!createdFolder.isEmpty())
        QVERIFY(QFileInfo(expand(createdFolder)).isDir());
    if (!absent.isEmpty())
        QVERIFY(!QFileInfo::exists(expand(absent)));
}

void tst_Destination::unwritableFolderUnprivileged()
{
    QTemporaryDir tmp;
    QVERIFY(::chmod(QFile::encodeName(tmp.path()).constData(), 0755) == 0);
    ServerConfig config;
    config.serverFolder = tmp.path() + QLatin1Char('/');
    QVERIFY(writeFile(tmp.filePath("backup/db_dump.db"), "SQLite format 3"));
    QVERIFY(QDir().mkpath(tmp.filePath("data")));

    TraceCapture trace;
    QCOMPARE(runInChild([&] {
                 return becomeNobody()
                        && ::checkDestination(config, tmp.filePath("backup/db_dump.db"),
                                              "sqlite://data/main.db");
             }),
             1);
    QCOMPARE(trace.lines(), QStringList{"[error] User does not have permission to write to "
                                        + tmp.filePath("data")});
}

void tst_Destination::spaceOnFullVolume_data()
{
    QTest::addColumn<QString>("source"); // "file" or "folder"
    QTest::addColumn<qint64>("extra");   // bytes beyond what the volume has available
    QTest::addColumn<bool>("passes");

    QTest::newRow("file of exactly the available size") << "file" << qint64(0) << true;
    QTest::newRow("file one byte too large") << "file" << qint64(1) << false;
    QTest::newRow("folder of exactly the available size") << "folder" << qint64(0) << true;
    QTest::newRow("folder one byte too large") << "folder" << qint64(1) << false;
}

void tst_Destination::spaceOnFullVolume()
{
    QFETCH(QString, source);
    QFETCH(qint64, extra);
    QFETCH(bool, passes);
    QTemporaryDir tmp;
    ServerConfig config;
    config.serverFolder = tmp.path() + QLatin1Char('/');
    const QString volume = tmp.filePath("volume");
    const QString sourcePath = tmp.filePath(source == "file" ? "dump.db" : "media");
    const QString destination = "volume/work/assets"; // relative: shown as passed in

    TraceCapture trace;
    const int status = runInChild([&] {
        if (!mountSmallVolume(volume, 1024 * 1024)) {
            std::fputs("cannot mount a tmpfs\n", stderr); // shows in the line comparison
            return false;
        }
        const qint64 available = QStorageInfo(volume).bytesAvailable();
        const qint64 required = available + extra;
        const bool made = source == "file"
                              ? makeSparseFile(sourcePath, required)
                              : makeSparseFile(sourcePath + "/a", required / 2)
                                    && writeFile(sourcePath + "/.hidden", "not counted")
                                    && makeSparseFile(sourcePath + "/sub/b",
                                                      required - required / 2);
        if (!made)
            return false;
        const bool checked = ::checkDestination(config, sourcePath, destination);
        if (!checked) // the expected line, with the sizes known only here
            std::fprintf(stderr, "expected: Not enough space available at %s. Need at least "
                                 "%s, but available space is %s.\n",
                         qUtf8Printable(destination), qUtf8Printable(::formatSize(required)),
                         qUtf8Printable(::formatSize(available)));
        return checked;
    });
    QCOMPARE(status, passes ? 0 : 1);
    const QStringList lines = trace.lines();
    if (passes) {
        QCOMPARE(lines, QStringList());
    } else {
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.at(0), "[error] " + lines.at(1).mid(int(qstrlen("expected: "))));
    }
}

QTEST_GUILESS_MAIN(tst_Destination)
#include "tst_destination.moc"
