// Reading the server configuration: the line grammar, hostile files, failures and the overlay.
#include "server/server_config.h"
#include "tests/support/test_support.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

// The members as "key=value" lines, defaults first replaced by the "key=value|..." changes,
// so that a failure shows every field at once.
QString describe(const QString& changes)
{
    QMap<QString, QString> all;
    for (const char* key : {"db", "reporting_db", "asset_root", "backup_root"})
        all.insert(QString::fromLatin1(key), QString());
    all.insert(QStringLiteral("control_port"), QStringLiteral("9299"));
    for (const QString& change : changes.split(QLatin1Char('|'), Qt::SkipEmptyParts)) {
        const int equals = change.indexOf(QLatin1Char('='));
        all.insert(change.left(equals), change.mid(equals + 1));
    }
    QStringList lines;
    for (auto it = all.begin(); it != all.end(); ++it)
        lines << it.key() + QLatin1Char('=') + it.value();
    return lines.join(QLatin1Char('\n'));
}

QString describe(const ServerConfig& config)
{
    return describe(QStringList{QStringLiteral("db=") + config.databaseLocation,
                                QStringLiteral("reporting_db=") + config.reportingDatabaseLocation,
                                QStringLiteral("asset_root=") + config.assetRoot,
                                QStringLiteral("backup_root=") + config.backupRoot,
                                QStringLiteral("control_port=%1").arg(config.controlPort)}
                        .join(QLatin1Char('|')));
}

const QString defaultRoot = QStringLiteral("/opt/Brantwell/bw-vellacor");
const QString overlayPath = QString::fromLatin1(overlayConfigurationFile);

// The fixed overlay file for one test, made only where there is none; the file and the
// folders made for it go again when the test ends, failed or not.
class OverlayFile {
public:
    explicit OverlayFile(const QByteArray& content)
    {
        if (QFileInfo::exists(overlayPath))
            return;
        for (QString folder = QFileInfo(overlayPath).absolutePath(); !QFileInfo::exists(folder);
             folder = QFileInfo(folder).absolutePath())
            m_madeFolders << folder; // deepest first
        m_made = true;
        m_written = writeFile(overlayPath, content);
    }
    ~OverlayFile()
    {
        if (m_made)
            QFile::remove(overlayPath);
        for (const QString& folder : qAsConst(m_madeFolders))
            QDir().rmdir(folder);
    }
    bool written() const { return m_written; }

private:
    bool m_made = false;
    bool m_written = false;
    QStringList m_madeFolders;
};

} // namespace

class tst_Config : public QObject {
    Q_OBJECT

private slots:
    void lineGrammar_data();
    void lineGrammar();
    void hostileFile_data();
    void hostileFile();
    void mainFileNotRead_data();
    void mainFileNotRead();
    void installationNotFound_data();
    void installationNotFound();
    void overlayValueWins_data();
    void overlayValueWins();
    void resolvePath_data();
    void resolvePath();
};

void tst_Config::lineGrammar_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected"); // "key=value|...", the rest default
    // clang-format off
    QTest::newRow("all five keys") << QByteArray("asset_root: /srv/media\nbackup_root: /srv/backups\ndb: main.db\nreporting_db: rep.db\ncontrol_port: 9300\n")
        << "asset_root=/srv/media|backup_root=/srv/backups|db=main.db|reporting_db=rep.db|control_port=9300";
    QTest::newRow("no keys")               << QByteArray("name: vellacor\n\n# db: old.db\n") << "";
    QTest::newRow("empty file")            << QByteArray()                              << "";
    QTest::newRow("reporting_db only")     << QByteArray("reporting_db: sqlite://r.db\n") << "reporting_db=sqlite://r.db";
    QTest::newRow("cut, asset_root")       << QByteArray("asset_root:/srv/media\n")     << "asset_root=srv/media";
    QTest::newRow("cut, backup_root")      << QByteArray("backup_root:/srv/b\n")        << "backup_root=srv/b";
    QTest::newRow("cut, db")               << QByteArray("db:sqlite://main.db\n")       << "db=qlite://main.db";
    QTest::newRow("cut, reporting_db")     << QByteArray("reporting_db:/r.db\n")        << "reporting_db=r.db";
    QTest::newRow("cut, control_port")     << QByteArray("control_port:9300\n")         << "control_port=300";
    QTest::newRow("key, nothing after")    << QByteArray("asset_root: /a\nasset_root:\n") << "";
    QTest::newRow("indented under a map")  << QByteArray("server:\n  storage:\n    db: main.db\n") << "db=main.db";
    QTest::newRow("tab indentation")       << QByteArray("\tdb: main.db\n")             << "db=main.db";
    QTest::newRow("trailing white space")  << QByteArray("db: main.db \t \n")           << "db=main.db";
    QTest::newRow("no final line end")     << QByteArray("db: main.db")                 << "db=main.db";
    QTest::newRow("inner runs collapse")   << QByteArray("asset_root: /srv/my    media\t\tfiles\n") << "asset_root=/srv/my media files";
    QTest::newRow("quoted value")          << QByteArray("db: \"postgres://u@h/main\"\n") << "db=postgres://u@h/main";
    QTest::newRow("quotes anywhere")       << QByteArray("asset_root: /a\"b\"c\"\n")    << "asset_root=/abc";
    QTest::newRow("quoted key")            << QByteArray("\"db\": main.db\n")           << "db=main.db";
    QTest::newRow("single quotes kept")    << QByteArray("asset_root: '/srv/a b'\n")    << "asset_root='/srv/a b'";
    QTest::newRow("last occurrence wins")  << QByteArray("db: first.db\nname: x\ndb: second.db\n") << "db=second.db";
    QTest::newRow("comment kept in value") << QByteArray("db: main.db # primary\n")     << "db=main.db # primary";
    QTest::newRow("case-sensitive keys")   << QByteArray("DB: main.db\nAsset_root: /a\n") << "";
    QTest::newRow("longer key")            << QByteArray("db_pool: 5\n")                << "";
    QTest::newRow("port, letters")         << QByteArray("control_port: abc\n")         << "control_port=0";
    QTest::newRow("port, bare key")        << QByteArray("control_port:\n")             << "control_port=0";
    QTest::newRow("port, comment")         << QByteArray("control_port: 9300 # dev\n")  << "control_port=0";
    QTest::newRow("port, hexadecimal")     << QByteArray("control_port: 0x2454\n")      << "control_port=0";
    QTest::newRow("port, quoted")          << QByteArray("control_port: \"9300\"\n")    << "control_port=9300";
    // clang-format on
}

void tst_Config::lineGrammar()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    QTemporaryDir tmp;
    QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
    const QString path = tmp.filePath(QStringLiteral("production.yaml"));
    QVERIFY(writeFile(path, content));

    ServerConfig config;
    QFile file(path);
    TraceCapture trace;
    QVERIFY(config.parseConfigurationFile(file));
    QCOMPARE(trace.lines(), QStringList{QStringLiteral("[info] Reading server configuration from ") + path});
    QCOMPARE(describe(config), describe(expected));
}

void tst_Config::hostileFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected"); // "key=value|...", the rest default
    const QByteArray longText(1 << 20, 'x');
    QByteArray garbage;
    QRandomGenerator random(42);
    for (int i = 0; i < 65536; ++i)
        garbage += char(random.bounded(256));
    // clang-format off
    QTest::newRow("CRLF line ends")   << QByteArray("asset_root: /srv/media\r\ncontrol_port: 9300\r\n") << "asset_root=/srv/media|control_port=9300";
    QTest::newRow("NUL ends the text") << QByteArray("db: main.db\0 garbage\n", 21)     << "db=main.db";
    QTest::newRow("NUL before a key") << QByteArray("\0db: main.db\n", 13)             << "";
    QTest::newRow("NUL line, then key") << QByteArray("\0\0\0\ndb: main.db\n", 16)     << "db=main.db";
    QTest::newRow("1 MB value")       << "db: " + longText + '\n'                      << QString::fromLatin1("db=" + longText);
    QTest::newRow("1 MB line, then key") << "# " + longText + "\nasset_root: /after\n" << "asset_root=/after";
    QTest::newRow("invalid UTF-8")    << QByteArray("name: \xff\xfe\ndb: caf\xe9.db\n") << QStringLiteral("db=caf\uFFFD.db");
    QTest::newRow("binary garbage")   << garbage + "\nasset_root: /after\n"            << "asset_root=/after";
    // clang-format on
}

void tst_Config::hostileFile()
{
    lineGrammar();
}

void tst_Config::mainFileNotRead_data()
{
    QTest::addColumn<QString>("root");
    QTest::addColumn<QString>("serverConfig");
    QTest::addColumn<QString>("named");
    // clang-format off
    QTest::newRow("installation file missing")    << "empty-install" << "" << "empty-install/server/production.yaml";
    QTest::newRow("installation file unreadable") << "locked-install" << "" << "locked-install/server/production.yaml";
    QTest::newRow("named file missing")    << "empty-install" << "absent.yaml" << "absent.yaml";
    QTest::newRow("named file is a folder") << "empty-install" << "folder"     << "folder";
    QTest::newRow("named file unreadable") << "empty-install" << "locked.yaml" << "locked.yaml";
    // clang-format on
}

void tst_Config::mainFileNotRead()
{
    QFETCH(QString, root);
    QFETCH(QString, serverConfig);
    QFETCH(QString, named);
    QTemporaryDir tmp;
    QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
    // As root every file is readable: the tool runs as nobody, who must reach the fixtures.
    const QFile::Permissions open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                    | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(tmp.path(), open));
    QVERIFY(QDir().mkpath(tmp.filePath(QStringLiteral("empty-install/server"))));
    QVERIFY(QDir().mkpath(tmp.filePath(QStringLiteral("folder"))));
    for (const char* locked : {"locked.yaml", "locked-install/server/production.yaml"}) {
        const QString path = tmp.filePath(QString::fromLatin1(locked));
        QVERIFY(writeFile(path, "db: main.db\n"));
        QVERIFY(QFile::setPermissions(path, QFile::Permissions{}));
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VELLACOR_ROOT"), tmp.filePath(root));
    QStringList args{QStringLiteral("--backup")};
    if (!serverConfig.isEmpty())
        args << QStringLiteral("--server-config") << tmp.filePath(serverConfig);
    const ToolRun run = ::geteuid() == 0 ? runToolAsNobody(args, env) : runTool(args, env);
    QVERIFY2(run.lines.contains(QStringLiteral("[error] Failed to read Vellacor server configuration from ")
                                + tmp.filePath(named)),
             run.standardError.constData());
    QCOMPARE(run.lines.last(), QStringLiteral("[error] Vellacor backup process failed."));
    QCOMPARE(run.exitCode, 2);
}

void tst_Config::installationNotFound_data()
{
    QTest::addColumn<bool>("rootSet");
    QTest::addColumn<QString>("root");
    QTest::newRow("missing") << true << "nowhere";
    QTest::newRow("a file") << true << "plain-file";
    QTest::newRow("empty means the default") << true << "";
    QTest::newRow("unset means the default") << false << "";
}

void tst_Config::installationNotFound()
{
    QFETCH(bool, rootSet);
    QFETCH(QString, root);
    QTemporaryDir tmp;
    QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("plain-file")), "db: main.db\n"));
    const QString rootPath = root.isEmpty() ? QString() : tmp.filePath(root);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("VELLACOR_ROOT"));
    if (rootSet)
        env.insert(QStringLiteral("VELLACOR_ROOT"), rootPath);
    const QString absent = tmp.filePath(QStringLiteral("absent.yaml"));
    const ToolRun run = runTool({QStringLiteral("--backup"), QStringLiteral("--server-config"), absent}, env);

    // The default installation may exist on some machine; then the named file is what fails.
    const QString effectiveRoot = rootPath.isEmpty() ? defaultRoot : rootPath;
    if (QFileInfo(effectiveRoot).isDir()) {
        QVERIFY2(run.lines.contains(QStringLiteral("[error] Failed to read Vellacor server configuration from ")
                                    + absent),
                 run.standardError.constData());
    } else {
        const QStringList found = run.lines.filter(QStringLiteral("[error] Failed to find Vellacor installation: "));
        QCOMPARE(found.size(), 1);
        QVERIFY2(found.first().contains(effectiveRoot), qPrintable(found.first()));
    }
    QCOMPARE(run.lines.last(), QStringLiteral("[error] Vellacor backup process failed."));
    QCOMPARE(run.exitCode, 2);
}

void tst_Config::overlayValueWins_data()
{
    QTest::addColumn<bool>("namedMainFile");
    QTest::addColumn<bool>("mainFileExists");
    QTest::newRow("installation file") << false << true;
    QTest::newRow("--server-config file") << true << true;
    QTest::newRow("no main file, no overlay") << false << false;
}

void tst_Config::overlayValueWins()
{
    QFETCH(bool, namedMainFile);
    QFETCH(bool, mainFileExists);
    OverlayFile overlay("db: overlay.db\ncontrol_port: 9400\n");
    if (!overlay.written())
        QSKIP("The overlay file exists already or cannot be made; it is left alone.");
    QTemporaryDir tmp;
    QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
    const QString mainFile = namedMainFile ? tmp.filePath(QStringLiteral("mine.yaml"))
                                           : tmp.path() + QStringLiteral("/server/production.yaml");
    QVERIFY(QDir().mkpath(tmp.path() + QStringLiteral("/server")));
    if (mainFileExists)
        QVERIFY(writeFile(mainFile, "db: main.db\nasset_root: /srv/media\ncontrol_port: 9300\n"));

    const QByteArray savedRoot = qgetenv("VELLACOR_ROOT");
    const bool rootWasSet = qEnvironmentVariableIsSet("VELLACOR_ROOT");
    const auto restoreRoot = qScopeGuard([&] {
        rootWasSet ? qputenv("VELLACOR_ROOT", savedRoot) : qunsetenv("VELLACOR_ROOT");
    });
    qputenv("VELLACOR_ROOT", QFile::encodeName(tmp.path()));

    ServerConfig config;
    TraceCapture trace;
    QCOMPARE(config.readServerConfiguration(namedMainFile ? mainFile : QString()), mainFileExists);
    // Set even when the main file then fails.
    QCOMPARE(config.serverFolder, tmp.path() + QStringLiteral("/server/"));
    if (!mainFileExists) {
        QCOMPARE(trace.lines(), QStringList{QStringLiteral("[error] Failed to read Vellacor server configuration from ")
                                            + mainFile});
        QCOMPARE(describe(config), describe(QString()));
        return;
    }
    QCOMPARE(trace.lines(),
             (QStringList{QStringLiteral("[info] Reading server configuration from ") + mainFile,
                          QStringLiteral("[info] Reading server configuration from ") + overlayPath}));
    QCOMPARE(describe(config),
             describe(QStringLiteral("db=overlay.db|asset_root=/srv/media|control_port=9400")));
}

void tst_Config::resolvePath_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<bool>("relativeToServerFolder");
    QTest::addColumn<QString>("expected"); // "<cwd>" stands for the current folder
    // clang-format off
    QTest::newRow("sqlite, absolute")       << "sqlite:///var/lib/main.db" << true  << "/var/lib/main.db";
    QTest::newRow("sqlite, absolute, cwd")  << "sqlite:///var/lib/main.db" << false << "/var/lib/main.db";
    QTest::newRow("sqlite, relative")       << "sqlite://data/main.db"     << true  << "/opt/app/server/data/main.db";
    QTest::newRow("sqlite, relative, cwd")  << "sqlite://data/main.db"     << false << "<cwd>/data/main.db";
    QTest::newRow("sqlite inside the text") << "data/sqlite://main.db"     << true  << "/opt/app/server/data/main.db";
    QTest::newRow("sqlite twice")           << "sqlite://sqlite:///x.db"   << true  << "/x.db";
    QTest::newRow("scheme is case-sensitive") << "SQLITE://x.db"           << true  << "/opt/app/server/SQLITE:/x.db";
    QTest::newRow("postgres scheme kept")   << "postgres://h/main"         << true  << "/opt/app/server/postgres:/h/main";
    QTest::newRow("relative, cwd")          << "media"                     << false << "<cwd>/media";
    QTest::newRow("dot components")         << "./a/../b/./c"              << true  << "/opt/app/server/b/c";
    QTest::newRow("above the server folder") << "../../media"              << true  << "/opt/media";
    QTest::newRow("absolute unchanged")     << "/srv/media"                << true  << "/srv/media";
    QTest::newRow("absolute, cwd")          << "/srv/media"                << false << "/srv/media";
    QTest::newRow("absolute, cleaned")      << "/srv//x/../media"          << true  << "/srv/media";
    QTest::newRow("trailing slash kept")    << "media/"                    << true  << "/opt/app/server/media/";
    // clang-format on
}

void tst_Config::resolvePath()
{
    QFETCH(QString, location);
    QFETCH(bool, relativeToServerFolder);
    QFETCH(QString, expected);
    ServerConfig config;
    config.serverFolder = QStringLiteral("/opt/app/server/");
    expected.replace(QStringLiteral("<cwd>"), QDir::currentPath());
    QCOMPARE(::resolvePath(config, location, relativeToServerFolder), expected);
}

QTEST_GUILESS_MAIN(tst_Config)
#include "tst_config.moc"
