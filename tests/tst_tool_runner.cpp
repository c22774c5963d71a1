// The pg_dump and psql runner with fake programs: argument vectors, judging, limits.
#include "db/tool_runner.h"
#include "tests/support/support.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>

class tst_ToolRunner : public QObject {
    Q_OBJECT

private slots:
    void toolRuns_data();
    void toolRuns();
};

void tst_ToolRunner::toolRuns_data()
{
    QTest::addColumn<QString>("program"); // a fake one, alone on the search path
    QTest::addColumn<QByteArray>("body"); // null: there is none
    QTest::addColumn<QByteArray>("limit"); // BW_VELLACOR_TOOL_TIMEOUT_MS
    QTest::addColumn<QStringList>("lines"); // empty: the run succeeds

    const QString errors = "[error] There were errors when running psql: ";
    const QByteArray argv = "for a in \"$@\"; do printf '%s\\n' \"$a\"; done >&2";
    const QString url = "postgres://u:pw@h:5433/v?sslmode=disable";
    // clang-format off
    QTest::newRow("argument vector of a dump") << "pg_dump" << argv << QByteArray()
        << QStringList{"[error] There were errors when running pg_dump: -w", "-f", "<T>/it's dump.sql", "-x", url, ""};
    QTest::newRow("argument vector of a load") << "psql" << argv << QByteArray()
        << QStringList{errors + "-w", "-f", "<T>/it's dump.sql", url, ""};
    QTest::newRow("plpgsql and empty lines ignored, output unread") << "psql"
        << QByteArray("echo ERROR; printf 'NOTICE: \"plpgsql\" exists\\n\\nplpgsql\\r\\n' >&2") << QByteArray() << QStringList();
    QTest::newRow("exit code alone") << "psql" << QByteArray("exit 3") << QByteArray() << QStringList{"[error] psql failed, exit code 3"};
    QTest::newRow("error line, whole output, exit code not") << "psql" << QByteArray("printf 'NOTICE: plpgsql\\nERROR:  no\\n' >&2; exit 2")
        << QByteArray() << QStringList{errors + "NOTICE: plpgsql", "ERROR:  no", ""};
    QTest::newRow("blanks and PLPGSQL are error lines") << "psql" << QByteArray("echo '   ' >&2; echo PLPGSQL >&2") << QByteArray()
        << QStringList{errors + "   ", "PLPGSQL", ""};
    QTest::newRow("crash") << "psql" << QByteArray("kill -SEGV $$") << QByteArray() << QStringList{"[error] Error: psql crashed"};
    QTest::newRow("not on the search path") << "pg_dump" << QByteArray() << QByteArray() << QStringList{"[error] Error: Could not start pg_dump"};
    QTest::newRow("past the limit, killed and reaped") << "psql" << QByteArray("echo $$ > \"$0.pid\"; exec sleep 30") << QByteArray("300")
        << QStringList{"[error] Could not run psql to store SQL"};
    QTest::newRow("limit 0 is ignored") << "psql" << QByteArray("sleep 0.3") << QByteArray("0") << QStringList();
    // clang-format on
}

void tst_ToolRunner::toolRuns()
{
    QFETCH(QString, program);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, limit);
    QFETCH(QStringList, lines);
    QTemporaryDir tmp;
    const QString fake = tmp.filePath(program);
    QVERIFY(body.isNull() || (writeFile(fake, "#!/bin/sh\nPATH=/usr/bin:/bin\n" + body + '\n') && setMode(fake, 0755)));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(tmp.path()));
    qputenv("BW_VELLACOR_TOOL_TIMEOUT_MS", limit);
    const QString url = "postgres://u:pw@h:5433/v?sslmode=disable";
    const QString sqlFile = tmp.filePath("it's dump.sql"); // each argument arrives whole
    bool succeeded = false;
    {
        TraceCapture trace;
        succeeded = program == "pg_dump" ? dumpPostgresDatabase(url, sqlFile) : runDatabaseTool(program, url, sqlFile, {});
        qputenv("PATH", path);
        QCOMPARE(trace.lines(), lines.replaceInStrings("<T>", tmp.path()));
    }
    QCOMPARE(succeeded, lines.isEmpty());
    const QByteArray pid = readFile(fake + ".pid");
    if (!pid.isEmpty()) // gone, not left running or as a zombie
        QVERIFY(::kill(pid.trimmed().toInt(), 0) == -1 && errno == ESRCH);
}

QTEST_GUILESS_MAIN(tst_ToolRunner)
#include "tst_tool_runner.moc"
