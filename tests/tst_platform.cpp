// The stand-ins for the maker's libraries: version texts and the option parser.
#include "platform/keelwork/options.h"
#include "platform/vellacor/vellacor.h"

#include <QtTest>

class tst_Platform : public QObject {
    Q_OBJECT

private slots:
    void versionFromString_data();
    void versionFromString();
    void optionParser_data();
    void optionParser();
};

void tst_Platform::versionFromString_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QVector<int>>("components"); // least significant first
    QTest::newRow("three parts") << "2.5.1" << QVector<int>{1, 5, 2};
    QTest::newRow("suffixes") << "2.5b.1-beta" << QVector<int>{1, 5, 2};
    QTest::newRow("major only") << "7" << QVector<int>{0, 0, 7};
    QTest::newRow("no digits, a sign") << "abc.-1.3" << QVector<int>{3, 0, 0};
    QTest::newRow("further parts ignored") << "1.2.3.4" << QVector<int>{3, 2, 1};
}

void tst_Platform::versionFromString()
{
    QFETCH(QString, text);
    QFETCH(QVector<int>, components);
    const Vellacor::Version version = Vellacor::Version::fromString(text);
    QCOMPARE(QVector<int>(version.components, version.components + 3), components);
}

void tst_Platform::optionParser_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("flag");
    QTest::addColumn<QString>("unused");
    // clang-format off
    QTest::newRow("value as the next word") << "--path /srv/b --flag" << "/srv/b" << true << "";
    QTest::newRow("value after =")          << "--path=a=b"           << "a=b"    << false << "";
    QTest::newRow("empty after =")          << "--path="              << ""       << false << "";
    QTest::newRow("missing value keeps the default") << "--flag --path" << "default" << true << "";
    QTest::newRow("next word taken whole")  << "--path --flag"        << "--flag" << false << "";
    QTest::newRow("last occurrence wins")   << "--path a --path=b --path c" << "c" << false << "";
    QTest::newRow("unknown options and words unused") << "x --pa y -flag --other=1" << "default" << false << "x --pa y -flag --other=1";
    // clang-format on
}

void tst_Platform::optionParser()
{
    QFETCH(QString, arguments);
    QFETCH(QString, path);
    QFETCH(bool, flag);
    QFETCH(QString, unused);
    QList<QByteArray> words = ("program " + arguments.toUtf8()).split(' ');
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    int argc = int(words.size());
    Keelwork::Node node;
    Keelwork::AttributeT<bool> flagOption(&node, "flag", false);
    Keelwork::AttributeT<QString> pathOption(&node, "path", "default");
    QCOMPARE(Keelwork::CmdParser::parse(argc, argv.data(), node), unused.split(' ', Qt::SkipEmptyParts));
    QCOMPARE(pathOption.value(), path);
    QCOMPARE(flagOption.value(), flag);
}

QTEST_GUILESS_MAIN(tst_Platform)
#include "tst_platform.moc"
