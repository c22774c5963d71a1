// The crash handler in a forked child: one report per fatal signal, nothing before it.
#include "platform/brisken/crash_handler.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdlib>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

enum class Crash { None, RaiseSegv, InaccessibleWrite, StackOverflow, Abort };

// Never false; read through volatile so the compiler cannot prove the recursion endless.
volatile bool keepRecursing = true;

// Recurses until the stack is gone; the volatile buffer keeps each frame real.
int exhaustStack(int depth)
{
    volatile char frame[1024];
    frame[0] = char(depth);
    if (!keepRecursing)
        return frame[0];
    return exhaustStack(depth + 1) + frame[0];
}

[[noreturn]] void crash(Crash kind)
{
    switch (kind) {
    case Crash::None:
        break;
    case Crash::RaiseSegv:
        std::raise(SIGSEGV);
        break;
    case Crash::InaccessibleWrite: {
        // A page without access rather than a null pointer: the sanitizers check null
        // stores themselves and would end the child before the fault.
        void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        *static_cast<volatile int*>(page) = 1;
        break;
    }
    case Crash::StackOverflow:
        exhaustStack(0);
        break;
    case Crash::Abort:
        std::abort();
    }
    ::_exit(0);
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
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("signal"); // 0: the child exits normally
    QTest::addColumn<QString>("signalName");
    // clang-format off
    QTest::newRow("init alone writes nothing") << int(Crash::None)       << 0       << "";
    QTest::newRow("raised SIGSEGV")       << int(Crash::RaiseSegv)         << SIGSEGV << "SIGSEGV";
    QTest::newRow("write to a bad page")  << int(Crash::InaccessibleWrite) << SIGSEGV << "SIGSEGV";
    QTest::newRow("stack overflow")       << int(Crash::StackOverflow)     << SIGSEGV << "SIGSEGV";
    QTest::newRow("abort")                << int(Crash::Abort)             << SIGABRT << "SIGABRT";
    // clang-format on
}

void tst_CrashHandler::reportOnFatalSignal()
{
    QFETCH(int, kind);
    QFETCH(int, signal);
    QFETCH(QString, signalName);
    QTemporaryDir tmp;
    QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
    const QString dumpFolder = tmp.filePath(QStringLiteral("crashes/dumps"));
    const QString uploadUrl = QStringLiteral("https://crash.example/crash-reports/upload-crash-dump");

    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        Brisken::CrashHandler::init(QStringLiteral("bw-vellacor-ctl"), uploadUrl, dumpFolder);
        Brisken::CrashHandler::setAnnotation("bw-vellacor-version", "9.8.7-test");
        crash(Crash(kind));
    }

    int status = 0;
    pid_t done = 0;
    for (int waitedMs = 0; done == 0 && waitedMs < 60000; waitedMs += 10) {
        done = ::waitpid(child, &status, WNOHANG);
        if (done == 0)
            QTest::qSleep(10);
    }
    if (done == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        QFAIL("The child did not end within a minute");
    }

    if (signal == 0) {
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        QVERIFY(!QFileInfo::exists(tmp.filePath(QStringLiteral("crashes"))));
        return;
    }
    QVERIFY2(WIFSIGNALED(status), qPrintable(QString::number(status)));
    QCOMPARE(WTERMSIG(status), signal);
    const QFileInfoList reports = QDir(dumpFolder).entryInfoList(QDir::Files);
    QCOMPARE(reports.size(), 1);
    QFile file(reports.first().filePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray report = file.readAll();
    for (const QByteArray& expected : {QByteArray("bw-vellacor-ctl"), signalName.toLatin1(),
                                       QByteArray("bw-vellacor-version"),
                                       QByteArray("9.8.7-test"), uploadUrl.toLatin1()})
        QVERIFY2(report.contains(expected), report.constData());
}

QTEST_GUILESS_MAIN(tst_CrashHandler)
#include "tst_crash_handler.moc"
