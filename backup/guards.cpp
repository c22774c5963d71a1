// What both procedures guard against: a second run, a stop request, a media library that is
// not a folder of its own.
#include "backup/guards.h"

#include "platform/brisken/trace.h"
#include "server/server_config.h"
#include "sys/files.h"
#include "sys/interrupt.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>

namespace {

QString installationRoot(const ServerConfig& config)
{
    return config.serverFolder.chopped(int(qstrlen("/server/")));
}

// Links resolved where the path exists, so that a link to the server folder is seen as it.
QString canonical(const QString& path)
{
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return resolved.isEmpty() ? QDir::cleanPath(path) : resolved;
}

// True when path lies inside folder, or is folder itself.
bool holds(const QString& folder, const QString& path)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

} // namespace

bool lockInstallation(const ServerConfig& config, Sys::FolderLock& lock)
{
    const QString root = installationRoot(config);
    if (lock.tryLock(Sys::resolveLinks(root)))
        return true;
    // Only a lock held elsewhere stops the run: a root folder this user cannot open protects
    // nothing that the configuration check has not already refused.
    if (errno != EWOULDBLOCK)
        return true;
    Brisken::Trace::error("Another bw-vellacor-ctl process is working on %s", qUtf8Printable(root));
    return false;
}

bool interruptedAtSafePoint()
{
    if (!Interrupt::requested())
        return false;
    Brisken::Trace::error("Interrupted by signal %s.", Interrupt::signalName());
    return true;
}

bool checkMediaLibrary(const ServerConfig& config)
{
    const QString resolved = resolvePath(config, config.assetRoot, true);
    const auto refuse = [&resolved](const QString& reason) {
        Brisken::Trace::error("Refusing to use %s as the media library: %s",
                              qUtf8Printable(resolved), qUtf8Printable(reason));
        return false;
    };
    if (config.assetRoot.isEmpty())
        return refuse(QStringLiteral("no asset_root is configured"));

    const QString library = canonical(resolved);
    if (library == QLatin1String("/"))
        return refuse(QStringLiteral("it is the root folder"));
    const QString root = canonical(installationRoot(config));
    if (library == root)
        return refuse(QStringLiteral("it is the installation folder"));
    if (library == canonical(config.serverFolder))
        return refuse(QStringLiteral("it is the installation's server folder"));
    if (holds(library, root))
        return refuse(QStringLiteral("it holds the installation folder"));

    for (const QString& file :
         {config.configurationFile, QString::fromLatin1(overlayConfigurationFile)}) {
        if (holds(library, canonical(QFileInfo(file).absoluteFilePath())))
            return refuse(QStringLiteral("it holds the configuration file %1").arg(file));
    }
    for (const QString& location : {config.databaseLocation, config.reportingDatabaseLocation}) {
        const QString database = resolvePath(config, location, true);
        if (location.startsWith(QLatin1String("sqlite://")) && holds(library, canonical(database)))
            return refuse(QStringLiteral("it holds the database %1").arg(database));
    }
    return true;
}
