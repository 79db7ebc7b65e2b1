// File checksums of the patch jobs.
#include <cstdint>
#include <memory>
#include <new>

#include "CRCCoder.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxFile.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/IPatchEvent.h"

namespace nPatchDownload {

namespace {

// Checksum blocks read per system call: a job checks thousands of files per run, and reading
// them one small block at a time costs more in calls than in folding; 32 blocks (256 KiB) stay
// in the core's cache between the read that fills them and the fold that reads them back.
constexpr size_t kBlocksPerRead = 32;

// The calling thread's read buffer of at least `size` bytes, made on its first file and kept
// for its later ones; null when it cannot be had.
unsigned char* ThreadChecksumBuffer(size_t size) {
  thread_local std::unique_ptr<unsigned char[]> buffer;
  thread_local size_t capacity = 0;
  if (capacity < size) {
    buffer.reset(new (std::nothrow) unsigned char[size]);
    capacity = buffer ? size : 0;
  }
  return buffer.get();
}

// The CRC of the regular file that open() opens (path names it in log lines); each failure
// is logged to event when one is given.
template <class Open>
unsigned int FileCrc(bool plain, const std::string& path, Open open, unsigned long& crc,
                     IPatchEvent* event) {
  const size_t size =
      static_cast<size_t>(CPatchInstallCommon::GetChecksumBufferSize()) * kBlocksPerRead;
  unsigned char* buffer = size == 0 ? nullptr : ThreadChecksumBuffer(size);
  if (buffer == nullptr) {
    if (event != nullptr)
      event->Debug("CalculateCRC", "Failed to allocate memory for checking file [%s]",
                   path.c_str());
    return 0x80000001;
  }
  // Only a regular file is read: a FIFO or device would block or never end.
  CPxFile file;
  uint64_t length = 0;
  CPxError e = open(file, length);
  if (e.IsError()) {
    if (event != nullptr)
      event->Debug("CalculateCRC", "Failed to open file [%s] for checking, error [%d:%s]",
                   path.c_str(), e.GetErrorCode(), e.c_str());
    return 0x80000010;
  }
  uint32_t value = 0;
  uint64_t total = 0;
  while (true) {
    size_t got = 0;
    e = file.Read(buffer, size, &got);
    if (e.IsError()) {
      if (event != nullptr)
        event->Debug("CalculateCRC", "Failed to read file [%s], error [%d:%s]", path.c_str(),
                     e.GetErrorCode(), e.c_str());
      return 0x80000010;
    }
    if (got == 0) break;
    value = KqCrc32(value, buffer, got);
    total += got;
    // A short read that reached the size the file had when opened is its end: no read is
    // spent to confirm it.
    if (got < size && total >= length) break;
  }
  crc = plain ? value : static_cast<unsigned long>(~value & 0xFFFFFFFFu);
  return 0;
}

// Opens the file at a path.
struct tOpenPath {
  const std::string& path;
  CPxError operator()(CPxFile& file, uint64_t& length) const {
    return file.OpenRegular(path, UINT64_MAX, &length);
  }
};

}  // namespace

unsigned int CPatchInstallCommon::CalculateCRC(bool plain, const std::string& path,
                                               unsigned long& crc, IPatchEvent& event) {
  return FileCrc(plain, path, tOpenPath{path}, crc, &event);
}

unsigned int CPatchInstallCommon::CalculateCRCSilently(bool plain, const std::string& path,
                                                       unsigned long& crc) {
  return FileCrc(plain, path, tOpenPath{path}, crc, nullptr);
}

unsigned int CPatchInstallCommon::CalculateCRCAt(bool plain, const CPxFolderHandle& folder,
                                                 const std::string& name, unsigned long& crc,
                                                 IPatchEvent& event) {
  auto open = [&folder, &name](CPxFile& file, uint64_t& length) {
    return file.OpenRegularAt(folder, name, UINT64_MAX, &length);
  };
  return FileCrc(plain, folder.path() + "/" + name, open, crc, &event);
}

long long CPatchInstallCommon::fileSize(std::ifstream& stream) {
  std::streampos at = stream.tellg();
  stream.seekg(0, std::ios::end);
  long long size = static_cast<long long>(stream.tellg());
  stream.seekg(at);
  return size;
}

}  // namespace nPatchDownload
