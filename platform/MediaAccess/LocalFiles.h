// The local side of a transfer: folders walked without following links, and the part file that
// becomes the target only when the transfer is complete.
//
// A target is named as a root and a name below it. The root is made when it is missing and is
// reached as the system resolves it (it may itself be a link, as a configured cache folder may
// be); every folder of the name below it must be a real folder: a link there is refused, so
// nothing is ever made, written or renamed outside the root. The part file and the rename work
// relative to a descriptor of the last folder, so a folder swapped for a link during the
// transfer cannot move them elsewhere either.
#ifndef KQ_PLATFORM_MEDIAACCESS_LOCALFILES_H_
#define KQ_PLATFORM_MEDIAACCESS_LOCALFILES_H_

#pragma GCC visibility push(default)

#include <string>

#include "PortableFiles/ScopedFd.h"

namespace kqmedia {

// Where a transfer writes: root + "/" + relative. Built from a plain path, the root is the
// path's folder and the relative name its last component.
struct tLocalTarget {
  tLocalTarget() = default;
  tLocalTarget(const std::string& path);  // NOLINT: a plain path is a target
  tLocalTarget(const char* path) : tLocalTarget(std::string(path)) {}  // NOLINT
  // path below root (by its text) is split there; any other path as a plain path.
  static tLocalTarget Below(const std::string& root, const std::string& path);

  std::string root;
  std::string relative;
  std::string full() const { return root + "/" + relative; }
};

// An open descriptor, closed with the object.
using FileDescriptor = kq::ScopedFd;

// Why a walk below a root stopped.
struct tWalkFailure {
  int err = 0;          // errno; ELOOP when a link was met
  bool link = false;    // a component below the root is a symbolic link
  std::string where;    // the path at which the walk stopped
};

// Makes the folders of `relative` below the folder `root` that are missing and opens the last
// one (O_PATH); "" opens the root. The root is followed as the system resolves it and made, with
// its missing parents, when it is missing; below it each level is made (mode 0777 less the
// umask) and then opened with kq::OpenFolderUnder(), so a link there is refused, never
// followed. An invalid descriptor and `failure` filled when it cannot.
FileDescriptor MakeFoldersBelow(const std::string& root, const std::string& relative,
                                tWalkFailure& failure);

// Opens the regular file `relative` below the folder `root` for reading, without following
// any link below the root and without blocking on a FIFO or a device. Anything that is not a
// regular file is refused (failure.err ENOENT for a missing name, EINVAL for a non-file,
// ELOOP with failure.link for a link).
FileDescriptor OpenFileBelow(const std::string& root, const std::string& relative,
                             tWalkFailure& failure);

// The file one transfer writes, in the target's folder: "<name>.XXXXXX.part", or, when that
// would be longer than the folder's file system allows, a shortened name with a hash of the
// whole name in its place. The object holds the part file's lock (PortableFiles/OwnedEntries.h)
// from the moment the file is seen under its name until it is gone or renamed; part files of
// the same target that no live transfer holds (a killed process left them) are removed when a
// new one is made. So transfers of one target in several threads or processes each write
// their own file, and the last to commit wins with a whole file. The part file becomes the
// target only through Commit(); otherwise it is removed when the object dies.
//
// Writes stop with a refusal before the file would grow beyond `limit` bytes or leave less
// than `reserve` bytes free on its file system.
class PartFile {
 public:
  PartFile() = default;
  ~PartFile();
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  // Makes the target's folders and the part file; false with failure() set.
  bool Create(const tLocalTarget& target);
  // Limits of later writes: limit < 0 is none.
  void SetLimits(long long limit, long long reserve) {
    limit_ = limit;
    reserve_ = reserve;
  }
  // Fails early when `expected` more bytes would leave less than the reserve free.
  bool CheckRoomFor(long long expected);
  bool Write(const char* data, size_t size);
  // Renames the part file over the target; false with failure() set (the part file is then
  // removed). With `held`, the lock goes on to the target: `held` receives a descriptor of it
  // under that lock, so that the new file is never without its owner.
  bool Commit(FileDescriptor* held = nullptr);
  // Resets the file for another try.
  bool Truncate();

  long long written() const { return written_; }
  // The error (an eTransferError) and the text of the last failure; 0 when none.
  unsigned int failure() const { return failure_; }
  const std::string& failureText() const { return failureText_; }

 private:
  bool Fail(unsigned int error, const std::string& text);
  bool FailErrno(const std::string& what, int err);

  tLocalTarget target_;
  FileDescriptor folder_;
  int fd_ = -1;
  std::string name_;  // the part file's name in folder_, "" once committed or gone
  long long written_ = 0;
  long long limit_ = -1;
  long long reserve_ = 0;
  unsigned int failure_ = 0;
  std::string failureText_;
};

// True when `name` is that of some target's part file ("<name>.XXXXXX.part").
bool IsPartFileName(const std::string& name);

// The name a target's part files start with (before ".XXXXXX.part"), for a file system that
// takes names of up to nameMax bytes.
std::string PartStem(const std::string& name, long nameMax);

// The process's umask, read once.
unsigned int CurrentUmask();

}  // namespace kqmedia

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_MEDIAACCESS_LOCALFILES_H_
