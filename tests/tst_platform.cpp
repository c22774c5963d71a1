// The stand-ins for the maker's libraries: the crash handler.
#include "platform/brisken/crash_handler.h"
#include "tests/support/support.h"

#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

class tst_Platform : public QObject {
    Q_OBJECT

private slots:
    void crashReport_data();
    void crashReport();
};

volatile bool keepRecursing = true; // read through volatile: the recursion is not provably endless

int exhaustStack(int depth)
{
    volatile char frame[1024];
    frame[0] = char(depth);
    return keepRecursing ? exhaustStack(depth + 1) + frame[0] : frame[0];
}

void tst_Platform::crashReport_data()
{
    QTest::addColumn<int>("signal"); // 0: no crash, and nothing written
    QTest::newRow("no crash") << 0;
    QTest::newRow("SIGSEGV from a stack overflow, reported on a stack of its own") << SIGSEGV;
    QTest::newRow("abort") << SIGABRT;
}

void tst_Platform::crashReport()
{
    QFETCH(int, signal);
    QTemporaryDir tmp;
    const QString dumps = tmp.filePath("crashes/dumps");
    const int status = runInChild([&] {
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        Brisken::CrashHandler::init("bw-vellacor-ctl", "https://crash.example/upload", dumps);
        Brisken::CrashHandler::setAnnotation("bw-vellacor-version", "9.8.7-test");
        if (signal == SIGSEGV)
            exhaustStack(0);
        if (signal == SIGABRT)
            std::abort();
        return true;
    });
    QCOMPARE(status, signal == 0 ? 0 : 128 + signal);
    const QFileInfoList reports = QDir(dumps).entryInfoList(QDir::Files);
    QCOMPARE(reports.size(), signal == 0 ? 0 : 1);
    QVERIFY(signal != 0 || !QFileInfo::exists(tmp.filePath("crashes")));
    for (const QFileInfo& report : reports)
        for (const char* expected : {"bw-vellacor-ctl", signal == SIGSEGV ? "SIGSEGV" : "SIGABRT", "bw-vellacor-version", "9.8.7-test",
                                     "https://crash.example/upload"})
            QVERIFY2(readFile(report.filePath()).contains(expected), expected);
}

QTEST_GUILESS_MAIN(tst_Platform)
#include "tst_platform.moc"
