#pragma once

#include <QString>

// Where data.ini and historie.dat live: beside the executable when that folder
// is writable (a portable copy), otherwise in the user's configuration folder,
// which is seeded once with the files that stand beside the executable.

// True when a file can actually be created in the folder (permissions alone
// say little for root or read-only mounts).
bool IsWritableFolder(const QString& folder);

// Picks the folder as described above; userFolder is created when needed and a
// file already there is never overwritten.
QString ChooseDataFolder(const QString& exeFolder, const QString& userFolder,
                         bool exeFolderWritable);

// The folder for the running program.
QString DataFolder();
// The per-user data folder: where the files go when the folder beside the executable cannot
// be written.
QString UserDataFolder();
