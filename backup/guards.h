// What both procedures guard against: a second run, a stop request, a media library that is
// not a folder of its own.
#pragma once

#include <QString>

class ServerConfig;
namespace Sys {
class FolderLock;
}

// Takes the lock on the installation root (the folder of config.serverFolder) that keeps a
// second bw-vellacor-ctl off the same installation until lock is destroyed. False, after
// "Another bw-vellacor-ctl process is working on %s", when another process holds it.
bool lockInstallation(const ServerConfig& config, Sys::FolderLock& lock);

// A safe point: true, after "Interrupted by signal %s.", once SIGINT, SIGTERM or SIGHUP has
// arrived. The procedures call it between their steps, never inside one.
bool interruptedAtSafePoint();

// Refuses, with "Refusing to use %s as the media library: %s", an asset_root that is missing,
// "/", the installation root or its server folder, a parent of either, or a folder that holds
// a configuration file or a configured SQLite database: a backup would copy, and a restore
// empty, the installation itself.
bool checkMediaLibrary(const ServerConfig& config);
