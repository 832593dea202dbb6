// SPDX-License-Identifier: MIT
// How a run locks the file that a name leads to, the same on every
// platform: open the file, lock it, and then look at the name again, since
// a run that held the lock meanwhile may have put a new file under it, and
// a lock on the old file keeps nobody from the new one. A run that finds
// another file there lets go of the one it holds and locks that one
// instead; it never holds two. Each platform gives the few primitives that
// the loop below is written over.

#ifndef HEXPOKE_ENV_LOCK_PROTOCOL_H_
#define HEXPOKE_ENV_LOCK_PROTOCOL_H_

#include <cstdint>

namespace hexpoke {

// A file as its file system tells it from every other file that exists at
// the same moment: the device or volume, and the inode number or file ID.
// File systems that invent their numbers (FUSE without use_ino: FAT and
// exFAT through FUSE, sshfs) may give a file another number once nothing
// holds it, and ones that reuse them (NTFS) may give a removed file's
// number to a new one; so two ids are compared only while one of the
// files is held open, when no other file can have its number. A file that
// no name leads to any more has no id (Seen::kNothing).
struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;

  bool operator==(const FileId& other) const {
    return volume == other.volume && file == other.file;
  }
};

// What a look at a name or at an open file found.
enum class Seen {
  kFile,     // a file, whose FileId is filled in
  kNothing,  // no file under the name; or the open file has no name left
  kError,    // the look failed otherwise
};

// What opening the file under a name did.
enum class Opened {
  kFile,       // it is open
  kNothing,    // nothing is under the name
  kNotWanted,  // a file is, but not one the caller locks (a device, say)
  kError,      // it could not be opened
};

enum class Locked {
  kLocked,     // the file is open and locked, and the name leads to it
  kNothing,    // nothing is under the name (and no run is putting a file
               // there)
  kNotWanted,  // Opened::kNotWanted
  kError,
};

// Opens and locks the file that a name leads to. `files` gives, for the one
// name it is made for:
//   Opened Open();          opens what the name leads to now
//   bool Lock();            locks the open file, waiting for it; false on
//                           an error
//   Seen IdentifyOpen(FileId&);  the open file's id
//   Seen IdentifyName(FileId&);  the id of the file the name leads to now
//   void Close();           closes the open file, which ends its lock
//   bool WaitForReplacement();
//                           where the name led nowhere: if another run is
//                           putting a file under it (some file systems
//                           rename in steps, and the name is missing
//                           between them), waits until it is done and
//                           returns true, to look again; else false.
// On kLocked the file is left open and locked in `files`.
template <typename Files>
Locked LockNamed(Files& files) {
  // Every turn but the first follows a change of what the name leads to.
  // A file system whose ids never agree would turn forever.
  constexpr int kMostTurns = 1000;
  for (int turn = 0; turn < kMostTurns; ++turn) {
    switch (files.Open()) {
      case Opened::kFile:
        break;
      case Opened::kNothing:
        if (files.WaitForReplacement()) continue;
        return Locked::kNothing;
      case Opened::kNotWanted:
        return Locked::kNotWanted;
      case Opened::kError:
        return Locked::kError;
    }
    if (!files.Lock()) return Locked::kError;
    FileId held;
    switch (files.IdentifyOpen(held)) {
      case Seen::kFile:
        break;
      case Seen::kNothing:  // replaced or removed before it was locked
        files.Close();
        continue;
      case Seen::kError:
        return Locked::kError;
    }
    FileId named;
    switch (files.IdentifyName(named)) {
      case Seen::kFile:
        if (named == held) return Locked::kLocked;
        files.Close();
        continue;
      case Seen::kNothing:
        files.Close();
        if (files.WaitForReplacement()) continue;
        return Locked::kNothing;
      case Seen::kError:
        return Locked::kError;
    }
  }
  return Locked::kError;
}

// LockNamed for a file to be read, shared: what is not a file to lock (a
// pipe, a directory: Opened::kNotWanted) is read as it is. Returns whether
// `files` holds a file to read.
template <typename Files>
bool LockToRead(Files& files) {
  const Locked locked = LockNamed(files);
  return locked == Locked::kLocked || locked == Locked::kNotWanted;
}

}  // namespace hexpoke

#endif  // HEXPOKE_ENV_LOCK_PROTOCOL_H_
