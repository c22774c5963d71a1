// The stand-ins for the maker's libraries and the system below them: the crash handler and
// the wake-up of a wait by a stop signal.
#include "platform/brisken/crash_handler.h"
#include "sys/interrupt.h"
#include "tests/support/support.h"

#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

class tst_Platform : public QObject {
    Q_OBJECT

private slots:
    void crashReport_data();
    void crashReport();
    void stopSignalWakesAWaitOnAnotherThread();
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
    QTest::addColumn<QString>("folder"); // what is at the dump folder before the crash
    QTest::addColumn<bool>("reported");
    // clang-format off
    QTest::newRow("no crash") << 0 << "" << false;
    QTest::newRow("SIGSEGV from a stack overflow, reported on a stack of its own") << SIGSEGV << "" << true;
    QTest::newRow("abort, into a folder of root's") << SIGABRT << "0755 root" << true;
    QTest::newRow("a link planted at the report's name is not followed") << SIGABRT << "0755 root link" << false;
    QTest::newRow("a folder of another user's") << SIGABRT << "0700 nobody" << false;
    QTest::newRow("a folder that everyone may write to") << SIGABRT << "1777 root" << false;
    // clang-format on
}

void tst_Platform::crashReport()
{
    QFETCH(int, signal);
    QFETCH(QString, folder);
    QFETCH(bool, reported);
    QTemporaryDir tmp;
    const QString dumps = tmp.filePath("crashes/dumps"), precious = tmp.filePath("precious");
    QVERIFY(writeFile(precious, "precious\n"));
    const QStringList made = folder.split(' ');
    QVERIFY(folder.isEmpty() || (QDir().mkpath(dumps) && setMode(dumps, made[0].toUInt(nullptr, 8))));
    QVERIFY(folder.isEmpty() || ::chown(QFile::encodeName(dumps), made[1] == "root" ? 0 : 65534, 0) == 0);
    const auto crash = [&] {
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        const QString report = dumps + QString("/bw-vellacor-ctl-%1.crash").arg(::getpid());
        if (folder.endsWith("link") && !QFile::link(precious, report))
            return false;
        Brisken::CrashHandler::init("bw-vellacor-ctl", "https://crash.example/upload", dumps + '/');
        Brisken::CrashHandler::setAnnotation("bw-vellacor-version", "9.8.7-test");
        if (signal == SIGSEGV)
            exhaustStack(0);
        if (signal == SIGABRT)
            std::abort();
        return true;
    };
    QCOMPARE(runInChild(crash), signal == 0 ? 0 : 128 + signal);
    const QFileInfoList reports = QDir(dumps).entryInfoList(QDir::Files | QDir::NoSymLinks);
    QCOMPARE(reports.size(), reported ? 1 : 0);
    QCOMPARE(readFile(precious), QByteArray("precious\n"));
    QVERIFY(signal != 0 || !QFileInfo::exists(tmp.filePath("crashes")));
    const auto mode = [](const QString& path) { return fileStatus(path).st_mode & 07777; };
    QVERIFY(!folder.isEmpty() || signal == 0 || (mode(tmp.filePath("crashes")) == 0700 && mode(dumps) == 0700));
    for (const QFileInfo& report : reports) {
        QCOMPARE(mode(report.filePath()), 0600u);
        for (const char* expected : {"bw-vellacor-ctl", signal == SIGSEGV ? "SIGSEGV" : "SIGABRT", "bw-vellacor-version",
                                     "9.8.7-test", "https://crash.example/upload"})
            QVERIFY2(readFile(report.filePath()).contains(expected), expected);
    }
}

void tst_Platform::stopSignalWakesAWaitOnAnotherThread()
{
    // The waiting thread blocks the stop signals, so another thread takes the handler and the
    // wait's poll is not interrupted: only the handler's pipe can end it.
    int never[2]; // a pipe nothing is written to
    QVERIFY(::pipe(never) == 0);
    QCOMPARE(runInChild([&] {
                 sigset_t stop;
                 sigemptyset(&stop);
                 sigaddset(&stop, SIGTERM);
                 if (!Interrupt::install() || ::pthread_sigmask(SIG_BLOCK, &stop, nullptr) != 0)
                     return false;
                 const QString waiterState = QString("/proc/self/task/%1/stat").arg(::gettid());
                 std::thread signaller([&] {
                     ::pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
                     // Once the waiter sleeps in its poll, or it would see the request before.
                     waitFor([&] { return readFile(waiterState).split(')').last().startsWith(" S"); });
                     ::kill(::getpid(), SIGTERM);
                 });
                 // No limit: a wait that the signal does not end lasts until runInChild gives up.
                 const Interrupt::Wait result = Interrupt::waitReadable(never[0], -1);
                 signaller.join();
                 return result == Interrupt::Wait::Stopped;
             }),
             0);
}

QTEST_GUILESS_MAIN(tst_Platform)
#include "tst_platform.moc"
