// The crash handler in a forked child: one report per fatal signal, nothing before it.
#include "platform/brisken/crash_handler.h"
#include "tests/support/support.h"

#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

volatile bool keepRecursing = true; // read through volatile: the recursion is not provably endless

int exhaustStack(int depth)
{
    volatile char frame[1024];
    frame[0] = char(depth);
    return keepRecursing ? exhaustStack(depth + 1) + frame[0] : frame[0];
}

void crash(const QByteArray& how)
{
    if (how == "raise")
        std::raise(SIGSEGV);
    if (how == "bad page") // not a null pointer: the sanitizers would catch that first
        *static_cast<volatile int*>(::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) = 1;
    if (how == "stack overflow") // the report is written on a stack of its own
        exhaustStack(0);
    if (how == "abort")
        std::abort();
}

} // namespace

class tst_CrashHandler : public QObject {
    Q_OBJECT

private slots:
    void reportOnFatalSignal_data();
    void reportOnFatalSignal();
};

void tst_CrashHandler::reportOnFatalSignal_data()
{
    QTest::addColumn<QByteArray>("how");
    QTest::addColumn<int>("signal"); // 0: the child exits normally and writes nothing
    QTest::newRow("no crash") << QByteArray("none") << 0;
    QTest::newRow("raised SIGSEGV") << QByteArray("raise") << SIGSEGV;
    QTest::newRow("write to a page without access") << QByteArray("bad page") << SIGSEGV;
    QTest::newRow("stack overflow") << QByteArray("stack overflow") << SIGSEGV;
    QTest::newRow("abort") << QByteArray("abort") << SIGABRT;
}

void tst_CrashHandler::reportOnFatalSignal()
{
    QFETCH(QByteArray, how);
    QFETCH(int, signal);
    QTemporaryDir tmp;
    const QString dumps = tmp.filePath("crashes/dumps");
    const QString uploadUrl = "https://crash.example/upload-crash-dump";

    const int status = runInChild([&] {
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        Brisken::CrashHandler::init("bw-vellacor-ctl", uploadUrl, dumps);
        Brisken::CrashHandler::setAnnotation("bw-vellacor-version", "9.8.7-test");
        crash(how);
        return true;
    });
    QCOMPARE(status, signal == 0 ? 0 : 128 + signal);
    if (signal == 0) {
        QVERIFY(!QFileInfo::exists(tmp.filePath("crashes")));
        return;
    }
    const QFileInfoList reports = QDir(dumps).entryInfoList(QDir::Files);
    QCOMPARE(reports.size(), 1);
    const QByteArray report = readFile(reports.first().filePath());
    for (const QByteArray& expected : {QByteArray("bw-vellacor-ctl"), QByteArray(signal == SIGSEGV ? "SIGSEGV" : "SIGABRT"),
                                       QByteArray("bw-vellacor-version"), QByteArray("9.8.7-test"), uploadUrl.toUtf8()})
        QVERIFY2(report.contains(expected), report.constData());
}

QTEST_GUILESS_MAIN(tst_CrashHandler)
#include "tst_crash_handler.moc"
