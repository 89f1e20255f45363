// Files that must survive a crash whole or not at all: written under a
// temporary name, flushed to disk, then given their final name without ever
// replacing another file.
#pragma once

#include "platform/Files.h"

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// A name that no other thread or process of this machine makes at the same
// time: "<pid>.<thread id>.<counter>".
std::string UniqueFileTag();

// The id of this process, which temporary file names carry.
long OwnProcessId();

// Creates path (failing with err::kFileExists when it exists), writes the
// pieces one after another and flushes the file to disk. On failure the
// partly written file is removed. Returns 0 or the system's error number.
int WriteNewFileSynced(const std::string& path, std::initializer_list<std::string_view> pieces);

// Gives the file from the name to, failing with err::kFileExists when to
// exists (the file then keeps its old name), and flushes the folder so that
// the new name is on disk. Returns 0 or the system's error number.
int RenameNoReplace(const std::string& from, const std::string& to);

// The same steps taken apart, so that several files can share the waits:
// write each (WriteNewFile), flush each (SyncAndClose), name each
// (RenameNoReplaceUnsynced), then flush their folder once (SyncFolder).
// A file is on disk under its name only after all four.

// Creates path (failing with err::kFileExists when it exists; mode 0666
// masked by the umask), writes the
// pieces in one go and starts writing them to disk without waiting for it.
// The file stays open in out for SyncAndClose. On failure the partly
// written file is removed. Returns 0 or the system's error number.
int WriteNewFile(const std::string& path, std::initializer_list<std::string_view> pieces, FileHandle& out);

// Waits until the file's data is on disk and closes it. Returns 0 or the
// system's error number (the file is closed either way).
int SyncAndClose(FileHandle& file);

// RenameNoReplace without the folder flush.
int RenameNoReplaceUnsynced(const std::string& from, const std::string& to);

// Flushes the folder so that the names given in it are on disk. Best
// effort, like the flush of RenameNoReplace: a folder that cannot be opened
// or flushed leaves the names as they are.
void SyncFolder(const std::string& folder);

// The folder part of path ("." when it has none).
std::string FolderOf(const std::string& path);

// Like WriteNewFile, for a file without a name in folder (O_TMPFILE): no
// one sees it until LinkNoReplace gives it one. It exists only while out
// stays open.
int WriteUnnamedFile(const std::string& folder, std::initializer_list<std::string_view> pieces, FileHandle& out);

// Gives an open unnamed file (WriteUnnamedFile) the name to, failing with
// err::kFileExists when to exists. Returns 0 or the system's error number.
int LinkNoReplace(const FileHandle& file, const std::string& to);

// Whether both folders exist and lie on one file system, so that a file
// can be renamed from one into the other.
bool OnOneFileSystem(const std::string& a, const std::string& b);

// Whether both paths name one existing folder.
bool SameFolder(const std::string& a, const std::string& b);

// The error for a file that could not be created at path: a missing file
// (err::kFileNotFound) becomes err::kPathNotFound when the folder it was
// to be made in does not exist.
int CreateFailure(const std::string& path, int error);

// Flushes the file's data to disk. Returns 0 or the system's error number.
int SyncData(const FileHandle& file);

// Cuts an open file to length 0. Returns 0 or the system's error number.
int Truncate(const FileHandle& file);

}  // namespace tarnwick
