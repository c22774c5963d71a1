// The stand-ins for the maker's libraries: version texts, the option parser, trace lines.
#include "platform/brisken/trace.h"
#include "platform/keelwork/options.h"
#include "platform/vellacor/vellacor.h"
#include "tests/support/test_support.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QtTest>

#include <ctime>

class tst_Platform : public QObject {
    Q_OBJECT

private slots:
    void versionFromString_data();
    void versionFromString();
    void optionParser_data();
    void optionParser();
    void traceLine_data();
    void traceLine();
};

void tst_Platform::versionFromString_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("patch");
    // clang-format off
    QTest::newRow("three parts")        << "2.5.1"      << 2  << 5 << 1;
    QTest::newRow("suffix on patch")    << "2.5.1-beta" << 2  << 5 << 1;
    QTest::newRow("major only")         << "7"          << 7  << 0 << 0;
    QTest::newRow("two parts")          << "10.4"       << 10 << 4 << 0;
    QTest::newRow("no digits")          << "abc"        << 0  << 0 << 0;
    QTest::newRow("empty")              << ""           << 0  << 0 << 0;
    QTest::newRow("extra parts ignored") << "1.2.3.4.5" << 1  << 2 << 3;
    QTest::newRow("letters in the middle") << "3.x.7"   << 3  << 0 << 7;
    QTest::newRow("digits then letters") << "1.2b.3rc1" << 1  << 2 << 3;
    QTest::newRow("sign is no digit")   << "-1.2.3"     << 0  << 2 << 3;
    // clang-format on
}

void tst_Platform::versionFromString()
{
    QFETCH(QString, text);
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, patch);
    const Vellacor::Version version = Vellacor::Version::fromString(text);
    // Least significant first.
    QCOMPARE(version.components[0], patch);
    QCOMPARE(version.components[1], minor);
    QCOMPARE(version.components[2], major);
}

void tst_Platform::optionParser_data()
{
    // Words separated by blanks.
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("flag");
    QTest::addColumn<QString>("unused");
    // clang-format off
    QTest::newRow("nothing")          << "" << "default" << false << "";
    QTest::newRow("value as next word") << "--path /srv/b" << "/srv/b" << false << "";
    QTest::newRow("value after =")    << "--path=/srv/b"     << "/srv/b" << false << "";
    QTest::newRow("= inside value")   << "--path=a=b"        << "a=b"    << false << "";
    QTest::newRow("empty after =")    << "--path="           << ""       << false << "";
    QTest::newRow("missing value keeps default") << "--flag --path" << "default" << true << "";
    QTest::newRow("next word taken whole") << "--path --flag" << "--flag" << false << "";
    QTest::newRow("last occurrence wins") << "--path a --path=b --path c" << "c" << false << "";
    QTest::newRow("flag")             << "--flag"            << "default" << true << "";
    QTest::newRow("flag twice")       << "--flag --flag"  << "default" << true << "";
    QTest::newRow("unknown option")   << "--frobnicate --flag" << "default" << true << "--frobnicate";
    QTest::newRow("stray words")      << "word --path p more" << "p" << false << "word more";
    QTest::newRow("single dash")      << "-flag -path"    << "default" << false << "-flag -path";
    QTest::newRow("name prefix only") << "--pa x"         << "default" << false << "--pa x";
    // clang-format on
}

void tst_Platform::optionParser()
{
    QFETCH(QString, arguments);
    QFETCH(QString, path);
    QFETCH(bool, flag);
    QFETCH(QString, unused);

    QList<QByteArray> storage{"program"};
    for (const QString& argument : arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        storage << argument.toUtf8();
    std::vector<char*> argv;
    for (QByteArray& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    int argc = int(storage.size());

    Keelwork::Node node;
    Keelwork::AttributeT<bool> flagOption(&node, "flag", false);
    Keelwork::AttributeT<QString> pathOption(&node, "path", QStringLiteral("default"));
    Keelwork::AttributeT<QString> otherOption(&node, "other", QStringLiteral("other default"));
    QCOMPARE(Keelwork::CmdParser::parse(argc, argv.data(), node),
             unused.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    QCOMPARE(pathOption.value(), path);
    QCOMPARE(flagOption.value(), flag);
    QCOMPARE(otherOption.value(), QStringLiteral("other default"));
}

void tst_Platform::traceLine_data()
{
    QTest::addColumn<unsigned>("flags");
    QTest::addColumn<bool>("isError");
    QTest::addColumn<QString>("expected"); // a pattern; empty: no output at all
    const QString stamp = QStringLiteral("^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}) ");
    // clang-format off
    QTest::newRow("info, with time stamp")  << 3u << false << stamp + QLatin1String("\\[info\\] Reading /a b 42$");
    QTest::newRow("error, with time stamp") << 3u << true  << stamp + QLatin1String("\\[error\\] Reading /a b 42$");
    QTest::newRow("error, bare")            << 1u << true  << "^\\[error\\] Reading /a b 42$";
    QTest::newRow("info, bare")             << 1u << false << "^\\[info\\] Reading /a b 42$";
    QTest::newRow("off")                    << 0u << true  << "";
    QTest::newRow("time stamp only")        << 2u << true  << "";
    // clang-format on
}

void tst_Platform::traceLine()
{
    QFETCH(unsigned, flags);
    QFETCH(bool, isError);
    QFETCH(QString, expected);

    // Far from UTC, so a time stamp in UTC instead of local time shows.
    const QByteArray savedZone = qgetenv("TZ");
    const bool zoneWasSet = qEnvironmentVariableIsSet("TZ");
    const auto restoreZone = qScopeGuard([&] {
        zoneWasSet ? qputenv("TZ", savedZone) : qunsetenv("TZ");
        tzset();
    });
    qputenv("TZ", "XYZ-13");
    tzset();

    // A message longer than any fixed buffer must still come out whole.
    const QByteArray longText(100000, 'x');
    TraceCapture trace;
    Brisken::Trace::initialize(flags);
    const QDateTime before = QDateTime::currentDateTime();
    const auto write = isError ? Brisken::Trace::error : Brisken::Trace::info;
    write("Reading %s %d", "/a b", 42);
    write("%s", longText.constData());
    const QDateTime after = QDateTime::currentDateTime();
    const QStringList lines = trace.lines();

    if (expected.isEmpty()) {
        QCOMPARE(lines, QStringList());
        return;
    }
    QCOMPARE(lines.size(), 2);
    const QRegularExpressionMatch match = QRegularExpression(expected).match(lines.first());
    QVERIFY2(match.hasMatch(), qPrintable(lines.first()));
    QVERIFY(lines.last().endsWith(QLatin1String(longText)));
    if (match.lastCapturedIndex() == 1) {
        const QDateTime written =
            QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
        QVERIFY2(before <= written && written <= after, qPrintable(match.captured(1)));
    }
}

QTEST_GUILESS_MAIN(tst_Platform)
#include "tst_platform.moc"
