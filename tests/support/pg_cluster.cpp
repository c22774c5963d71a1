// The throwaway PostgreSQL cluster that the "pg" CTest fixture starts (tests/pg_cluster.sh).
#include "tests/support/pg_cluster.h"

#include "tests/support/test_support.h"

#include <QProcess>

bool TestCluster::load()
{
    m_folder = QStringLiteral(BWV_TEST_CLUSTER_FOLDER);
    const QByteArray env = readFile(m_folder + QStringLiteral("/env"));
    for (const QByteArray& line : env.split('\n')) {
        const int equals = line.indexOf('=');
        const QByteArray key = line.left(equals);
        const QString value = QString::fromUtf8(line.mid(equals + 1));
        if (key == "PGPORT")
            m_port = value;
        else if (key == "PGBINDIR")
            m_binFolder = value;
    }
    if (m_port.isEmpty() || m_binFolder.isEmpty()) {
        m_error = QStringLiteral("no PostgreSQL test cluster at %1; run the tests through "
                                 "ctest, whose pg fixture starts it")
                      .arg(m_folder);
        return false;
    }
    return true;
}

QString TestCluster::url(const QString& database, const QString& user) const
{
    return QStringLiteral("postgres://%1@127.0.0.1:%2/%3").arg(user, m_port, database);
}

bool TestCluster::createDatabase(const QString& database)
{
    return query(QStringLiteral("postgres"),
                 QStringLiteral("DROP DATABASE IF EXISTS \"%1\" WITH (FORCE);").arg(database))
               .isEmpty()
           && query(QStringLiteral("postgres"),
                    QStringLiteral("CREATE DATABASE \"%1\";").arg(database))
                  .isEmpty();
}

QStringList TestCluster::query(const QString& database, const QString& sql) const
{
    QProcess psql;
    psql.start(m_binFolder + QStringLiteral("/psql"),
               {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-A"),
                QStringLiteral("-t"), QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"),
                QStringLiteral("-c"), sql, url(database)});
    if (!psql.waitForFinished(60000)) {
        psql.kill();
        psql.waitForFinished(5000);
        return {QStringLiteral("ERROR: psql did not finish")};
    }
    QStringList rows = QString::fromUtf8(psql.readAllStandardOutput())
                           .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (psql.exitCode() != 0)
        rows << QStringLiteral("ERROR: ") + QString::fromUtf8(psql.readAllStandardError());
    return rows;
}

QString TestCluster::logFile() const
{
    return m_folder + QStringLiteral("/server.log");
}
