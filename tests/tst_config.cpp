// Reading the server configuration: the line grammar, hostile files, the overlay, paths.
#include "server/server_config.h"
#include "tests/support/support.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The five members as one text, so that a failure shows them all.
QString describe(const ServerConfig& c)
{
    return QStringList{c.databaseLocation, c.reportingDatabaseLocation, c.assetRoot, c.backupRoot,
                       QString::number(c.controlPort)}
        .join(" | ");
}

} // namespace

class tst_Config : public QObject {
    Q_OBJECT

private slots:
    void lineGrammar_data();
    void lineGrammar();
    void overlayFileWins();
    void resolvePath_data();
    void resolvePath();
};

void tst_Config::lineGrammar_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("members"); // db | reporting_db | asset_root | backup_root | port

    QByteArray garbage;
    for (int i = 0; i < 65536; ++i)
        garbage += char(QRandomGenerator::global()->bounded(256));
    const QByteArray megabyte(1 << 20, 'x');
    // clang-format off
    QTest::newRow("all keys, nested and indented")
        << QByteArray("server:\n  db: main.db\n\treporting_db: r.db\n    asset_root: /m\nbackup_root: /b\ncontrol_port: 9300\n")
        << "main.db | r.db | /m | /b | 9300";
    QTest::newRow("cut after the colon") << QByteArray("db:sqlite://x\nasset_root:/m\ncontrol_port:9300\n")
                                         << "qlite://x |  | m |  | 300";
    QTest::newRow("blanks collapse, ends trimmed") << QByteArray("asset_root: /my    media\t\tfiles \t\n")
                                                   << " |  | /my media files |  | 9299";
    QTest::newRow("double quotes go anywhere") << QByteArray("\"db\": \"postgres://u@h/m\"\nasset_root: /a\"b\n")
                                               << "postgres://u@h/m |  | /ab |  | 9299";
    QTest::newRow("single quotes stay") << QByteArray("asset_root: '/a b'\n") << " |  | '/a b' |  | 9299";
    QTest::newRow("last occurrence wins") << QByteArray("db: first\ndb: second\n") << "second |  |  |  | 9299";
    QTest::newRow("key alone empties the value") << QByteArray("db: first\ndb:\n") << " |  |  |  | 9299";
    QTest::newRow("keys are exact") << QByteArray("DB: x\ndb_pool: 5\n# db: old\n") << " |  |  |  | 9299";
    QTest::newRow("port text not a number") << QByteArray("control_port: 9300 # dev\n") << " |  |  |  | 0";
    QTest::newRow("hexadecimal port") << QByteArray("control_port: 0x2454\n") << " |  |  |  | 0";
    QTest::newRow("CRLF line ends") << QByteArray("db: main.db\r\ncontrol_port: 9300\r\n") << "main.db |  |  |  | 9300";
    QTest::newRow("NUL in a line") << QByteArray("db: main.db\0tail\n\0db: x\n", 24) << "main.db |  |  |  | 9299";
    QTest::newRow("1 MB line") << "# " + megabyte + "\nasset_root: /after\n" << " |  | /after |  | 9299";
    QTest::newRow("invalid UTF-8") << QByteArray("db: caf\xe9.db\n") << "caf\uFFFD.db |  |  |  | 9299";
    QTest::newRow("binary garbage") << garbage + "\nbackup_root: /after\n" << " |  |  | /after | 9299";
    // clang-format on
}

void tst_Config::lineGrammar()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, members);
    QTemporaryDir tmp;
    QVERIFY(writeFile(tmp.filePath("production.yaml"), content));
    ServerConfig config;
    QFile file(tmp.filePath("production.yaml"));
    TraceCapture trace;
    QVERIFY(config.parseConfigurationFile(file));
    QCOMPARE(trace.lines(), QStringList{"[info] Reading server configuration from " + file.fileName()});
    QCOMPARE(describe(config), members);
}

void tst_Config::overlayFileWins()
{
    // Made only where there is none, and removed again with the folders made for it.
    const QString overlay = QString::fromLatin1(overlayConfigurationFile);
    if (QFileInfo::exists(overlay))
        QSKIP("An overlay file exists on this machine; it is left alone.");
    QStringList madeFolders;
    for (QString f = QFileInfo(overlay).path(); !QFileInfo::exists(f); f = QFileInfo(f).path())
        madeFolders << f;
    const auto cleanup = qScopeGuard([&] {
        QFile::remove(overlay);
        for (const QString& folder : madeFolders)
            QDir().rmdir(folder);
    });
    QVERIFY(writeFile(overlay, "db: overlay.db\ncontrol_port: 9400\n"));

    QTemporaryDir tmp;
    QVERIFY(writeFile(tmp.filePath("mine.yaml"), "db: main.db\nasset_root: /m\ncontrol_port: 1\n"));
    qputenv("VELLACOR_ROOT", QFile::encodeName(tmp.path()));
    ServerConfig config;
    TraceCapture trace;
    QVERIFY(config.readServerConfiguration(tmp.filePath("mine.yaml")));
    QCOMPARE(trace.lines(), (QStringList{"[info] Reading server configuration from " + tmp.filePath("mine.yaml"),
                                         "[info] Reading server configuration from " + overlay}));
    QCOMPARE(describe(config), "overlay.db |  | /m |  | 9400");
    QCOMPARE(config.serverFolder, tmp.path() + "/server/");
}

void tst_Config::resolvePath_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<bool>("relativeToServerFolder");
    QTest::addColumn<QString>("path"); // "<cwd>": the current folder

    // clang-format off
    QTest::newRow("sqlite, absolute")       << "sqlite:///var/main.db" << true  << "/var/main.db";
    QTest::newRow("sqlite, relative")       << "sqlite://data/main.db" << true  << "/opt/app/server/data/main.db";
    QTest::newRow("relative to the current folder") << "sqlite://data/x.db" << false << "<cwd>/data/x.db";
    QTest::newRow("every sqlite:// goes")   << "a/sqlite://sqlite://b" << true  << "/opt/app/server/a/b";
    QTest::newRow("other schemes stay")     << "SQLITE://x.db"         << true  << "/opt/app/server/SQLITE:/x.db";
    QTest::newRow("dots and doubled slashes") << "./a/..//b/../../c"   << true  << "/opt/app/c";
    QTest::newRow("absolute, cleaned")      << "/srv//x/../media"      << false << "/srv/media";
    QTest::newRow("trailing slash kept")    << "media/"                << true  << "/opt/app/server/media/";
    // clang-format on
}

void tst_Config::resolvePath()
{
    QFETCH(QString, location);
    QFETCH(bool, relativeToServerFolder);
    QFETCH(QString, path);
    ServerConfig config;
    config.serverFolder = "/opt/app/server/";
    QCOMPARE(::resolvePath(config, location, relativeToServerFolder),
             path.replace("<cwd>", QDir::currentPath()));
}

QTEST_GUILESS_MAIN(tst_Config)
#include "tst_config.moc"
