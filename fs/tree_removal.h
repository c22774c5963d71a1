// The removal of a whole folder tree behind restoreFolder and removeBackupEntries.
#pragma once

// Removes name inside the open folder with everything it holds: hidden entries, links as
// links and special files. Never follows a link and never leaves the folder. The files go on
// a few threads while the calling thread walks; the folders go last. Goes on past entries it
// cannot remove and then returns false.
bool removeTree(int folder, const char* name);
