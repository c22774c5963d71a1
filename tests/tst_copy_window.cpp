// The copy window without threads: walk order, the first failure, what is undone, the counts.
#include "tree/copy_window.h"

#include <QtTest>

#include <cerrno>

class tst_CopyWindow : public QObject {
    Q_OBJECT

private slots:
    void orderAndRollBack_data();
    void orderAndRollBack();
};

void tst_CopyWindow::orderAndRollBack_data()
{
    // Events in the order they happen: "+a" the walk adds file a ("+d/" a folder it made,
    // "+d/!" one it could not make); "t=a" a copy thread takes a ("t=" finds none yet, "t!"
    // may start none; "r=a,b" takes a run of at most three files); then a's outcome: "ok" copied, "ln" linked, "grew" copied with another
    // size than when opened, "x" failed (ENOSPC), "c" cancelled.
    QTest::addColumn<QString>("events");
    QTest::addColumn<QString>("failure"); // path, kind, errno
    QTest::addColumn<QString>("undone");  // in the order of removal
    QTest::addColumn<QString>("counts");  // listed, copied, linked, first size mismatch
    // clang-format off
    QTest::newRow("folders need no thread") << "+a +d/ +d/b t=a t=d/b ok:d/b t= ok:a" << "" << "" << "2 2 0";
    QTest::newRow("linked and changed files") << "+a +b +c t=a t=b t=c ln:a grew:c grew:b" << "" << "" << "3 2 1 b";
    QTest::newRow("the earliest failure wins, later copies go")
        << "+a +d/ +d/b +e t=a t=d/b t=e ok:e x:d/b x:a" << "a write 28" << "e d/" << "3 0 0";
    QTest::newRow("nothing starts after a failure") << "+a +b +c t=a t=b x:a t! x:b" << "a write 28" << "" << "3 0 0";
    QTest::newRow("a folder that failed") << "+a +b/! t=a ok:a t!" << "b/ create folder 20" << "" << "1 1 0";
    QTest::newRow("files never copied fail the copy")
        << "+a +d/ +d/b +e t=a ok:a t=d/b ok:d/b" << "e not copied 0" << "" << "3 2 0";
    QTest::newRow("a run ends at a folder and after three files")
        << "+a +b +d/ +d/c +d/e +d/f +d/g r=a,b r=d/c,d/e,d/f x:d/c r!" << "d/c write 28" << "" << "6 0 0";
    // clang-format on
}

void tst_CopyWindow::orderAndRollBack()
{
    QFETCH(QString, events);
    QFETCH(QString, failure);
    QFETCH(QString, undone);
    QFETCH(QString, counts);
    CopyWindow window;
    QMap<QString, qint64> taken; // sequence by path
    for (const QString& event : events.split(' ')) {
        qint64 sequence = -1;
        if (event.startsWith('+')) {
            WindowEntry entry;
            QString path = event.mid(1);
            const bool failedFolder = path.endsWith("/!");
            entry.isFolder = failedFolder || path.endsWith('/');
            path.chop(failedFolder ? 2 : entry.isFolder ? 1 : 0);
            entry.path = path.toUtf8();
            entry.size = 1;
            const EntryState made = failedFolder ? EntryState::Failed : EntryState::Done;
            entry.outcome.state = entry.isFolder ? made : EntryState::Waiting;
            entry.outcome.made = entry.isFolder && !failedFolder;
            entry.outcome.failedKind = CopyFailureKind::CreateFolder;
            entry.outcome.errorNumber = ENOTDIR;
            window.push(std::move(entry));
        } else if (event.startsWith('t') || event.startsWith('r')) {
            int count = 1;
            const CopyWindow::Next next = event[0] == 'r' ? window.take(sequence, count, 3, 1 << 20) : window.take(sequence);
            QStringList paths;
            for (int i = 0; next == CopyWindow::Next::File && i < count; ++i) {
                paths << window.at(sequence + i).path;
                taken.insert(paths.last(), sequence + i);
            }
            QCOMPARE(event.left(1) + (next == CopyWindow::Next::Stop ? "!" : "=" + paths.join(',')), event);
        } else {
            const QString outcome = event.section(':', 0, 0);
            EntryOutcome result;
            result.state = outcome == "x"   ? EntryState::Failed
                           : outcome == "c" ? EntryState::Cancelled
                                            : EntryState::Done;
            result.made = result.state == EntryState::Done;
            result.linked = outcome == "ln";
            result.sizeWhenOpened = 1;
            result.sizeCopied = outcome == "grew" ? 2 : 1;
            result.failedKind = CopyFailureKind::WriteTarget;
            result.errorNumber = ENOSPC;
            window.finish(taken.value(event.section(':', 1)), result);
        }
    }
    static const char* const kinds[] = {"create folder", "read", "write", "owner/mode",
                                        "not copied"};
    const auto shown = [](const QByteArray& path, bool isFolder) {
        return QString(path) + (isFolder ? "/" : "");
    };
    const CopyFailure found = window.failure();
    const QString why = QString("%1 %2 %3").arg(shown(found.path, found.isFolder), kinds[int(found.kind)]);
    QCOMPARE(window.hasFailed() || !window.isWhole() ? why.arg(found.errorNumber) : "", failure);
    QStringList removed;
    window.rollBack([&](const WindowEntry& entry) { removed << shown(entry.path, entry.isFolder); });
    QCOMPARE(removed.join(' '), undone);
    const CopyCounts& c = window.counts();
    const QString got = QString("%1 %2 %3 %4").arg(c.listedFiles).arg(c.copiedFiles).arg(c.linkedFiles);
    QCOMPARE(got.arg(QString(c.sizeMismatchPath)).trimmed(), counts);
}

QTEST_GUILESS_MAIN(tst_CopyWindow)
#include "tst_copy_window.moc"
