// The pg_dump and psql runner, with fake programs: argument vectors, judging, limits and signals.
#include "db/tool_runner.h"
#include "sys/interrupt.h"
#include "tests/support/support.h"

#include <QtTest>

#include <csignal>

namespace {

const QString url = "postgres://u:pw@127.0.0.1:1/v?sslmode=disable"; // no server: no session

// True while pid names a process that has not ended; a zombie has.
bool running(qint64 pid)
{
    const QByteArray stat = readFile(QString("/proc/%1/stat").arg(pid));
    return !stat.isEmpty() && stat.mid(stat.lastIndexOf(')') + 2, 1) != "Z";
}

} // namespace

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
    QTest::addColumn<int>("status"); // of the tool, a forked copy of this test: 0 when the run succeeded
    QTest::addColumn<QStringList>("lines");

    const QString errors = "[error] There were errors when running psql: ";
    const QByteArray argv = "for a in \"$@\"; do printf '%s\\n' \"$a\"; done >&2";
    const QByteArray pid = "echo $$ > \"$0.pid\"; ";
    // clang-format off
    QTest::newRow("argument vector of a dump") << "pg_dump" << argv << QByteArray() << 1
        << QStringList{"[error] There were errors when running pg_dump: -w", "-f", "<T>/it's dump.sql", "-x", url, ""};
    QTest::newRow("argument vector of a load") << "psql" << argv << QByteArray() << 1
        << QStringList{errors + "-w", "-f", "<T>/it's dump.sql", url, ""};
    QTest::newRow("plpgsql and empty lines ignored, output unread") << "psql"
        << QByteArray("echo ERROR; printf 'NOTICE: \"plpgsql\" exists\\n\\nplpgsql\\r\\n' >&2") << QByteArray() << 0 << QStringList();
    QTest::newRow("exit code alone") << "psql" << QByteArray("exit 3") << QByteArray() << 1 << QStringList{"[error] psql failed, exit code 3"};
    QTest::newRow("error line, whole output, exit code not") << "psql" << QByteArray("printf 'NOTICE: plpgsql\\nERROR:  no\\n' >&2; exit 2")
        << QByteArray() << 1 << QStringList{errors + "NOTICE: plpgsql", "ERROR:  no", ""};
    QTest::newRow("blanks and PLPGSQL are error lines") << "psql" << QByteArray("echo '   ' >&2; echo PLPGSQL >&2") << QByteArray() << 1
        << QStringList{errors + "   ", "PLPGSQL", ""};
    QTest::newRow("crash") << "psql" << QByteArray("kill -SEGV $$") << QByteArray() << 1 << QStringList{"[error] Error: psql crashed"};
    QTest::newRow("not on the search path") << "pg_dump" << QByteArray() << QByteArray() << 1 << QStringList{"[error] Error: Could not start pg_dump"};
    QTest::newRow("stuck: no file, no session, killed") << "psql" << pid + "exec sleep 30" << QByteArray("600") << 1
        << QStringList{"[warning] psql made no progress for 1 s (the limit is set with BW_VELLACOR_TOOL_TIMEOUT_MS)", "[error] Could not run psql to store SQL"};
    QTest::newRow("dump file grows past the limit") << "pg_dump" << QByteArray("for i in $(seq 12); do echo x >> \"$3\"; sleep 0.1; done") << QByteArray("600") << 0 << QStringList();
    QTest::newRow("reads on past the limit") << "psql" << QByteArray("seq 12 > \"$3\"; while read l; do sleep 0.1; done < \"$3\"") << QByteArray("600") << 0 << QStringList();
    QTest::newRow("standard input empty") << "psql" << QByteArray("cat") << QByteArray("600") << 0 << QStringList();
    QTest::newRow("limit 0 is ignored") << "psql" << QByteArray("sleep 0.3") << QByteArray("0") << 0 << QStringList();
    QTest::newRow("stop request: the dump is stopped, no line") << "pg_dump" << pid + "kill -TERM $PPID; exec sleep 120" << QByteArray("5000") << 1 << QStringList();
    QTest::newRow("tool killed: the child ends too") << "psql" << pid + "kill -KILL $PPID; exec sleep 120" << QByteArray() << 128 + SIGKILL << QStringList();
    // clang-format on
}

void tst_ToolRunner::toolRuns()
{
    QFETCH(QString, program);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, limit);
    QFETCH(int, status);
    QFETCH(QStringList, lines);
    QTemporaryDir tmp;
    const QString fake = tmp.filePath(program);
    QVERIFY(body.isNull() || (writeFile(fake, "#!/bin/sh\nPATH=/usr/bin:/bin\n" + body + '\n') && setMode(fake, 0755)));
    const QString sqlFile = tmp.filePath("it's dump.sql"); // each argument arrives whole
    const auto run = [&] {
        qputenv("PATH", QFile::encodeName(tmp.path()));
        qputenv("BW_VELLACOR_TOOL_TIMEOUT_MS", limit);
        return Interrupt::install()
               && (program == "pg_dump" ? dumpPostgresDatabase(url, sqlFile) : runDatabaseTool(program, url, sqlFile, {}));
    };
    TraceCapture trace;
    QCOMPARE(runInChild(run), status);
    QCOMPARE(trace.lines(), lines.replaceInStrings("<T>", tmp.path()));
    // The child ends with the tool, whichever way it ends.
    const qint64 pid = readFile(fake + ".pid").trimmed().toLongLong();
    const bool gone = pid == 0 || waitFor([&] { return !running(pid); });
    if (!gone)
        ::kill(pid, SIGKILL);
    QVERIFY(gone);
}

QTEST_GUILESS_MAIN(tst_ToolRunner)
#include "tst_tool_runner.moc"
