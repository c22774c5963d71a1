// Checks made on a destination before data is copied there.
#pragma once

#include <QString>

class ServerConfig;
class TreeListing;

// What a check does about missing folders on the way to a destination.
enum class MissingFolders {
    Create, // made at once, and they stay: the data is about to be written there
    Judge,  // nothing is made: the nearest existing folder above must let them be made
};

// The entry nearest to path, path itself included, that exists; empty when none does. A mkpath
// of path would make what lies below it.
QString nearestExisting(QString path);

// In this order, stopping at the first failure with one error line: the source exists; the
// destination's folder (the destination itself when it is a folder, else its parent) exists
// or can be created; it is writable; its volume has room for the source (a folder's
// folderSize, a plain file's own size). With MissingFolders::Create the created folder stays;
// with Judge the check writes nothing and fails with the lines the real run would write. With
// sourceListing, a source folder's listing stays there for the copy that follows.
bool checkDestination(const ServerConfig& config, const QString& sourcePath,
                      const QString& destinationLocation,
                      MissingFolders missingFolders = MissingFolders::Create,
                      TreeListing* sourceListing = nullptr);

