// One open file of the portable layer, and the path-level file operations.
//
// A CPxFile owns one descriptor: it is movable, not copyable, and closes on destruction.
// The static members work on paths: Stat/Lstat, Copy, Delete, Chmod, Rename.
//
//   CPxFile f;
//   CPxError e = f.Open(path, CPxFile::kWrite | CPxFile::kCreate, CPxFile::kAttrNormal);  // 65, 128
//   if (!e.IsError()) e = f.Write(text.data(), text.size(), &written);
#ifndef KQ_PLATFORM_PORTABLEFILES_PXFILE_H_
#define KQ_PLATFORM_PORTABLEFILES_PXFILE_H_

#pragma GCC visibility push(default)

#include <cstddef>
#include <cstdint>
#include <string>

#include "PortableFiles/PxError.h"

class CPxFolderHandle;

// What Stat and Lstat report about a path.
struct SPxFileStat {
  uint64_t size = 0;      // bytes
  uint32_t mode = 0;      // type and permission bits: 0x4000 directory, 0x8000 regular file, 0xA000 link
  int64_t mtime = 0;      // seconds since the epoch
  uint64_t nlink = 0;
  uint32_t uid = 0;       // owner

  bool IsDirectory() const { return (mode & 0xF000u) == 0x4000u; }
  bool IsRegular() const { return (mode & 0xF000u) == 0x8000u; }
  bool IsLink() const { return (mode & 0xF000u) == 0xA000u; }
};

class CPxFile {
 public:
  // Open flags (the values of the Linux open(2) flags, so 65 is write + create).
  enum : unsigned {
    kRead = 0x0,
    kWrite = 0x1,
    kReadWrite = 0x2,
    kCreate = 0x40,
    kExclusive = 0x80,
    kTruncate = 0x200,
    kAppend = 0x400,
  };
  // Attributes of a file that Open creates.
  enum : unsigned {
    kAttrReadOnly = 0x1,   // created 0444
    kAttrNormal = 0x80,    // created 0644 (less the process umask)
  };
  // Seek origins.
  enum SeekOrigin { kBegin = 0, kCurrent = 1, kEnd = 2 };

  CPxFile() = default;
  ~CPxFile();
  CPxFile(const CPxFile&) = delete;
  CPxFile& operator=(const CPxFile&) = delete;
  CPxFile(CPxFile&& other) noexcept;
  CPxFile& operator=(CPxFile&& other) noexcept;

  // Opens `path` with the flags above; a file already open is closed first.
  CPxError Open(const char* path, unsigned flags = kRead, unsigned attributes = kAttrNormal);
  CPxError Open(const std::string& path, unsigned flags = kRead, unsigned attributes = kAttrNormal) {
    return Open(path.c_str(), flags, attributes);
  }
  // Opens `path` for reading only when it is a regular file (a final link is followed) of at
  // most maxBytes bytes; its size goes to *size (optional). A FIFO, socket or device is never
  // waited on: it is opened without blocking and refused (EINVAL, "not a regular file"), as
  // is a folder (EISDIR); a larger file gives EFBIG.
  CPxError OpenRegular(const std::string& path, uint64_t maxBytes, uint64_t* size = nullptr);
  // OpenRegular for the entry `name` of an open folder (a final link is followed, as opening
  // its path does); the path in texts is the folder's path + "/" + name.
  CPxError OpenRegularAt(const CPxFolderHandle& folder, const std::string& name, uint64_t maxBytes,
                         uint64_t* size = nullptr);
  // The whole regular file at `path` (see OpenRegular) into `text`, which is replaced only on
  // success.
  static CPxError ReadRegular(const std::string& path, uint64_t maxBytes, std::string& text);

  bool IsOpen() const { return fd_ >= 0; }
  // The path the open file was opened by ("" when none is open).
  const std::string& path() const { return path_; }
  void Close();

  // Reads up to `size` bytes; *bytesRead (optional) gets the count, 0 at the end of the file.
  CPxError Read(void* buffer, size_t size, size_t* bytesRead);
  // Writes all `size` bytes (retrying short writes); *written (optional) gets the count written.
  CPxError Write(const void* buffer, size_t size, size_t* written = nullptr);
  // The same on a descriptor the caller owns: false with errno set (ENOSPC for a write that
  // writes nothing) on a failed or short write.
  static bool WriteAllTo(int fd, const void* buffer, size_t size);
  // Moves the file position (64-bit); *position (optional) gets the new offset from the start.
  CPxError Seek(int64_t offset, SeekOrigin origin, int64_t* position = nullptr);
  // The current size of the open file.
  CPxError GetSize(uint64_t& size) const;

  // Status of `path`, following a final symbolic link.
  static CPxError Stat(const char* path, SPxFileStat& info);
  static CPxError Stat(const std::string& path, SPxFileStat& info) { return Stat(path.c_str(), info); }
  // Status of `path` itself: a symbolic link is reported as a link.
  static CPxError Lstat(const char* path, SPxFileStat& info);
  static CPxError Lstat(const std::string& path, SPxFileStat& info) { return Lstat(path.c_str(), info); }
  // Stat and Lstat of the entry `name` (one entry name, no "/") of an open folder, without a
  // lookup of the folder's path; the path in texts is the folder's path + "/" + name.
  static CPxError StatAt(const CPxFolderHandle& folder, const std::string& name, SPxFileStat& info);
  static CPxError LstatAt(const CPxFolderHandle& folder, const std::string& name, SPxFileStat& info);

  // Copies the bytes and the permission bits of `source` (read through a link) to `target`.
  // The copy is written beside the target and renamed over it, so an existing target (even a
  // read-only one, or a link, which is replaced and not written through) is replaced whole and
  // no reader ever sees half a file. The target's folder must exist.
  static CPxError Copy(const char* source, const char* target);
  static CPxError Copy(const std::string& source, const std::string& target) {
    return Copy(source.c_str(), target.c_str());
  }
  // Creates at `target` a symbolic link with the same link text as the link `source`.
  static CPxError CopyLink(const char* source, const char* target);
  // Removes one file (never a folder); a link is removed, not its target (kq::RemoveFileNoFollow).
  // A path that does not exist counts as deleted.
  static CPxError Delete(const char* path);
  static CPxError Delete(const std::string& path) { return Delete(path.c_str()); }
  // Sets the permission bits (mode & 07777).
  static CPxError Chmod(const char* path, uint32_t mode);
  static CPxError Chmod(const std::string& path, uint32_t mode) { return Chmod(path.c_str(), mode); }
  // rename(2): moves a file or folder within one file system, replacing a file or empty folder.
  static CPxError Rename(const char* source, const char* target);
  // Renames the entry `source` of an open folder to `target` in the same folder (entry names,
  // no "/"), without a lookup of the folder's path.
  static CPxError RenameAt(const CPxFolderHandle& folder, const std::string& source,
                           const std::string& target);

 private:
  // Takes an open descriptor (of the file named by path_) once it is known to be a regular file
  // of at most maxBytes; closes it otherwise.
  CPxError AdoptRegular(int fd, uint64_t maxBytes, uint64_t* size);

  int fd_ = -1;
  std::string path_;  // for error texts
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_PORTABLEFILES_PXFILE_H_
