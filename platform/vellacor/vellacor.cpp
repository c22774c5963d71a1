// Stand-in for the product core library: version, installation root, database connections.
#include "platform/vellacor/vellacor.h"

#include <QFileInfo>
#include <QSqlError>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <atomic>
#include <climits>

namespace Vellacor {

namespace {

const char* const defaultRootFolder = "/opt/Brantwell/bw-vellacor";

int leadingNumber(const QString& part)
{
    // A run too long for an int saturates: "1.0.99999999999" must read as newer than every
    // real version, never as 1.0.0.
    qint64 value = 0;
    for (int i = 0; i < part.size() && part.at(i).isDigit() && part.at(i).unicode() < 0x80; ++i)
        value = std::min<qint64>(value * 10 + (part.at(i).unicode() - '0'), INT_MAX);
    return int(value);
}

} // namespace

const QString& Vellacor::version()
{
    static const QString text = QStringLiteral(BWV_PRODUCT_VERSION);
    return text;
}

std::pair<bool, QString> Vellacor::vellacorRoot()
{
    QString root = qEnvironmentVariable("VELLACOR_ROOT");
    if (root.isEmpty())
        root = QString::fromLatin1(defaultRootFolder);

    const QFileInfo info(root);
    if (!info.exists())
        return {false, QStringLiteral("installation folder %1 does not exist").arg(root)};
    if (!info.isDir())
        return {false, QStringLiteral("installation folder %1 is not a folder").arg(root)};
    return {true, root};
}

Version Version::fromString(const QString& text)
{
    Version result;
    const QStringList parts = text.split(QLatin1Char('.'));
    for (int i = 0; i < 3 && i < parts.size(); ++i)
        result.components[2 - i] = leadingNumber(parts.at(i));
    return result;
}

QString DB::rewriteServerUrl(const QString& location)
{
    // The connection below reads the libpq URI form directly.
    return location;
}

QSqlDatabase DatabaseManager::connection(const QString& url)
{
    static std::atomic<int> counter{0};
    const QString name = QStringLiteral("vellacor-connection-%1").arg(++counter);

    const QUrl parsed(url, QUrl::TolerantMode);
    const QUrlQuery query(parsed);

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
    QString host = parsed.host(QUrl::FullyDecoded);
    if (host.isEmpty())
        host = query.queryItemValue(QStringLiteral("host"), QUrl::FullyDecoded);
    if (!host.isEmpty())
        db.setHostName(host);
    if (parsed.port() > 0)
        db.setPort(parsed.port());
    else if (query.hasQueryItem(QStringLiteral("port")))
        db.setPort(query.queryItemValue(QStringLiteral("port")).toInt());
    db.setUserName(parsed.userName(QUrl::FullyDecoded));
    db.setPassword(parsed.password(QUrl::FullyDecoded));
    QString dbName = parsed.path(QUrl::FullyDecoded);
    if (dbName.startsWith(QLatin1Char('/')))
        dbName.remove(0, 1);
    db.setDatabaseName(dbName);
    // A server that never answers must not hold the tool forever. Notices (a drop cascading
    // to views) would otherwise reach standard error through libpq's default printer.
    db.setConnectOptions(
        QStringLiteral("connect_timeout=10;options='-c client_min_messages=warning'"));
    db.open();
    return db;
}

} // namespace Vellacor
