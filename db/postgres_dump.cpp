// Reads what a restore needs to know of a pg_dump plain SQL file: whether it is complete,
// whether the installed psql can load it, and which objects it will create.
#include "db/postgres_dump.h"

#include <QFile>
#include <QRegularExpression>

namespace {

// pg_dump writes it after the last statement.
const QByteArray completionLine = "-- PostgreSQL database dump complete";
const qint64 tailBytes = 4096;
// The head holds only comments, blank lines and psql meta-commands before the first SET.
const qint64 headBytes = 65536;

bool openDump(QFile& file, QString& reason)
{
    if (file.open(QIODevice::ReadOnly))
        return true;
    reason = QStringLiteral("cannot read it: ") + file.errorString();
    return false;
}

// The leading comment and meta-command lines, where pg_dump names its version and its
// \restrict key.
bool readHead(const QString& dumpFile, QList<QByteArray>& lines, QString& reason)
{
    QFile file(dumpFile);
    if (!openDump(file, reason))
        return false;
    while (file.pos() < headBytes && !file.atEnd()) {
        const QByteArray line = file.readLine(headBytes).trimmed();
        if (!line.isEmpty() && !line.startsWith("--") && !line.startsWith('\\'))
            break;
        lines << line;
    }
    return true;
}

struct ToolVersion {
    int major = -1;
    int minor = -1;
};

ToolVersion parseVersion(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d+)(?:\\.(\\d+))?"));
    const QRegularExpressionMatch match = pattern.match(text);
    ToolVersion version;
    if (match.hasMatch()) {
        version.major = match.captured(1).toInt();
        version.minor = match.captured(2).isEmpty() ? 0 : match.captured(2).toInt();
    }
    return version;
}

// \restrict came with these minor releases of the supported branches, and with 18.
bool knowsRestrict(const ToolVersion& psql)
{
    static const int firstMinor[] = {22, 19, 14, 10, 6}; // 13.22, 14.19, 15.14, 16.10, 17.6
    if (psql.major >= 18)
        return true;
    if (psql.major < 13)
        return false;
    return psql.minor >= firstMinor[psql.major - 13];
}

// A table of contents entry: pg_dump frames each one with "--" lines.
const QByteArray tocPrefix = "-- Name: ";
// The entry of a table's rows, or of large objects' contents.
const QByteArray dataPrefix = "-- Data for Name: ";

bool parseTocLine(const QByteArray& line, DumpObject& object)
{
    static const QRegularExpression pattern(
        QStringLiteral("^-- Name: (.*); Type: ([A-Z ]+); Schema: (.*?); Owner: "));
    const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(line));
    if (!match.hasMatch())
        return false;
    object.name = match.captured(1);
    object.type = match.captured(2);
    object.schema = match.captured(3);
    return true;
}

} // namespace

bool checkDumpComplete(const QString& dumpFile, QString& reason)
{
    QFile file(dumpFile);
    if (!openDump(file, reason))
        return false;
    if (!file.seek(qMax<qint64>(0, file.size() - tailBytes))) {
        reason = QStringLiteral("cannot read it: ") + file.errorString();
        return false;
    }
    if (file.read(tailBytes).contains(completionLine))
        return true;
    reason = QStringLiteral("it does not end with pg_dump's completion line, so it is incomplete");
    return false;
}

bool checkDumpLoadable(const QString& dumpFile, const QString& psqlVersion, QString& reason)
{
    QList<QByteArray> head;
    if (!readHead(dumpFile, head, reason))
        return false;
    const ToolVersion psql = parseVersion(psqlVersion);
    const QByteArray dumpedBy = "-- Dumped by pg_dump version ";
    for (const QByteArray& line : head) {
        if (line.startsWith(dumpedBy)) {
            const QString dumpVersion = QString::fromUtf8(line.mid(dumpedBy.size()));
            if (parseVersion(dumpVersion).major > psql.major) {
                reason = QStringLiteral("it was made by pg_dump %1, a newer major version than "
                                        "psql %2 can load")
                             .arg(dumpVersion, psqlVersion);
                return false;
            }
        }
        if (line.startsWith("\\restrict") && !knowsRestrict(psql)) {
            reason = QStringLiteral("it holds a \\restrict command, which psql %1 does not know "
                                    "(a psql of at least 13.22, 14.19, 15.14, 16.10 or 17.6 does)")
                         .arg(psqlVersion);
            return false;
        }
    }
    return true;
}

bool readDumpObjects(const QString& dumpFile, QList<DumpObject>& objects, QString& reason)
{
    QFile file(dumpFile);
    if (!openDump(file, reason))
        return false;
    // pg_dump writes every object that can be created before the first table's data, which is
    // nearly all of a large dump: the reading stops there. Should a dump hold rows before it,
    // rows of COPY blocks are data, and a row that looks like a comment names no object. A
    // long line arrives in pieces; only a piece that starts a line is looked at.
    QByteArray line(65536, '\0');
    bool inCopy = false;
    bool atLineStart = true;
    bool afterFrame = false;
    for (;;) {
        const qint64 length = file.readLine(line.data(), line.size());
        if (length <= 0)
            break;
        const QByteArray piece = QByteArray::fromRawData(line.constData(), int(length));
        const bool wasLineStart = atLineStart;
        atLineStart = piece.endsWith('\n');
        if (!wasLineStart) {
            afterFrame = false;
            continue;
        }
        if (inCopy) {
            inCopy = piece != "\\.\n";
            continue;
        }
        if (piece.startsWith("COPY ") && piece.endsWith("FROM stdin;\n")) {
            inCopy = true;
        } else if (afterFrame && piece.startsWith(dataPrefix)) {
            break;
        } else if (afterFrame && piece.startsWith(tocPrefix)) {
            DumpObject object;
            if (parseTocLine(piece.trimmed(), object))
                objects << object;
        }
        afterFrame = piece == "--\n";
    }
    if (file.error() != QFileDevice::NoError) {
        reason = QStringLiteral("cannot read it: ") + file.errorString();
        return false;
    }
    return true;
}
