// The throwaway PostgreSQL cluster that the "pg" CTest fixture starts (tests/pg_cluster.sh).
#pragma once

#include <QString>
#include <QStringList>

class TestCluster {
public:
    // Reads the fixture's description of the running cluster. False, with the reason in
    // error(), when the fixture has not started one.
    bool load();
    QString error() const { return m_error; }

    // postgres://user@127.0.0.1:<port>/database, as an administrator would configure it.
    QString url(const QString& database, const QString& user = QStringLiteral("postgres")) const;

    // Creates database afresh (dropping one of that name first).
    bool createDatabase(const QString& database);

    // Runs SQL in database through the cluster's own psql and returns its rows, one line per
    // row with fields separated by "|". An error becomes a row "ERROR: ..." so that a
    // comparison shows it.
    QStringList query(const QString& database, const QString& sql) const;

    // The server's log, for statements logged with log_statement.
    QString logFile() const;

private:
    QString m_folder;
    QString m_port;
    QString m_binFolder;
    QString m_error;
};
