// The server configuration: the line grammar and the overlay file, on real files.
#include "server/server_config.h"
#include "tests/support/support.h"

#include <QtTest>

namespace {

QString describe(const ServerConfig& c)
{
    const QString port = QString::number(c.controlPort);
    return QStringList{c.databaseLocation, c.reportingDatabaseLocation, c.assetRoot, c.backupRoot, port}.join(" | ");
}

} // namespace

class tst_ServerConfig : public QObject {
    Q_OBJECT

private slots:
    void lineGrammar_data();
    void lineGrammar();
    void overlayFileWins();
};

void tst_ServerConfig::lineGrammar_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("members"); // db | reporting_db | asset_root | backup_root | port
    QTest::addColumn<QStringList>("warnings"); // after the info line; %F the file
    QByteArray garbage;
    for (int i = 0; i < 65536; ++i)
        garbage += char(QRandomGenerator::global()->bounded(256));
    // clang-format off
    QTest::newRow("cut after the colon") << QByteArray("db:sqlite://x\nasset_root:/m\ncontrol_port:9300\n") << "qlite://x |  | m |  | 300" << QStringList();
    QTest::newRow("blanks collapse, ends trimmed") << QByteArray("asset_root: /my    media\t\tfiles \t\n") << " |  | /my media files |  | 9299" << QStringList();
    QTest::newRow("double quotes go, single stay") << QByteArray("\"db\": \"pg://u@h/m\"\nasset_root: '/a\"b'\n") << "pg://u@h/m |  | '/ab' |  | 9299" << QStringList();
    QTest::newRow("last occurrence wins, exact keys") << QByteArray("db: 1\ndb: 2\nDB: 3\ndb_pool: 4\n# db: 5\n") << "2 |  |  |  | 9299" << QStringList();
    QTest::newRow("a comment after a value stays part of it")
        << QByteArray("asset_root: /srv/media # the media\ncontrol_port: 9300 # default\n# db: x #\n") << " |  | /srv/media # the media |  | 0"
        << QStringList{"[warning] The value of asset_root in %F holds \" #\", which stays part of the value: /srv/media # the media",
                       "[warning] The value of control_port in %F holds \" #\", which stays part of the value: 9300 # default"};
    QTest::newRow("port text not a number") << QByteArray("control_port: 0x2454\n") << " |  |  |  | 0" << QStringList();
    QTest::newRow("CRLF, NUL, invalid UTF-8") << QByteArray("db: caf\xe9.db\0tail\r\n\0asset_root: x\r\ncontrol_port: 9300\r\n", 54)
                                              << "caf\uFFFD.db |  |  |  | 9300" << QStringList();
    QTest::newRow("1 MB line, binary garbage") << "# " + QByteArray(1 << 20, 'x') + "\n" + garbage + "\nbackup_root: /after\n" << " |  |  | /after | 9299" << QStringList();
    // clang-format on
}

void tst_ServerConfig::lineGrammar()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, members);
    QFETCH(QStringList, warnings);
    QTemporaryDir tmp;
    QVERIFY(writeFile(tmp.filePath("production.yaml"), content));
    ServerConfig config;
    QFile file(tmp.filePath("production.yaml"));
    TraceCapture trace;
    QVERIFY(config.parseConfigurationFile(file));
    const QString reading = "[info] Reading server configuration from " + file.fileName();
    QCOMPARE(trace.lines(), QStringList(reading) + warnings.replaceInStrings("%F", file.fileName()));
    QCOMPARE(describe(config), members);
}

void tst_ServerConfig::overlayFileWins()
{
    // Made only where there is none, and removed again with the folders made for it.
    const QString overlay = overlayConfigurationFile;
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
    QCOMPARE(trace.lines(), QStringList({"[info] Reading server configuration from " + tmp.filePath("mine.yaml"),
                                         "[info] Reading server configuration from " + overlay}));
    QCOMPARE(describe(config), "overlay.db |  | /m |  | 9400");
    QCOMPARE(config.serverFolder, tmp.path() + "/server/");
}

QTEST_GUILESS_MAIN(tst_ServerConfig)
#include "tst_server_config.moc"
