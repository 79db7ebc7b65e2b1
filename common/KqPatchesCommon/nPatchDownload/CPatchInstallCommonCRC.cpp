// File checksums of the patch jobs.
#include <cstdint>
#include <memory>
#include <new>

#include "CRCCoder.h"
#include "PortableFiles/PxFile.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/IPatchEvent.h"

namespace nPatchDownload {

unsigned int CPatchInstallCommon::CalculateCRC(bool plain, const std::string& path,
                                               unsigned long& crc, IPatchEvent& event) {
  const unsigned int size = GetChecksumBufferSize();
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[size]);
  if (!buffer || size == 0) {
    event.Debug("CalculateCRC", "Failed to allocate memory for checking file [%s]", path.c_str());
    return 0x80000001;
  }
  // Only a regular file is read: a FIFO or device would block or never end.
  CPxFile file;
  CPxError e = file.OpenRegular(path, UINT64_MAX);
  if (e.IsError()) {
    event.Debug("CalculateCRC", "Failed to open file [%s] for checking, error [%d:%s]",
                path.c_str(), e.GetErrorCode(), e.c_str());
    return 0x80000010;
  }
  uint32_t value = 0;
  while (true) {
    size_t got = 0;
    e = file.Read(buffer.get(), size, &got);
    if (e.IsError()) {
      event.Debug("CalculateCRC", "Failed to read file [%s], error [%d:%s]", path.c_str(),
                  e.GetErrorCode(), e.c_str());
      return 0x80000010;
    }
    if (got == 0) break;
    value = KqCrc32(value, buffer.get(), got);
  }
  crc = plain ? value : static_cast<unsigned long>(~value & 0xFFFFFFFFu);
  return 0;
}

long long CPatchInstallCommon::fileSize(std::ifstream& stream) {
  std::streampos at = stream.tellg();
  stream.seekg(0, std::ios::end);
  long long size = static_cast<long long>(stream.tellg());
  stream.seekg(at);
  return size;
}

}  // namespace nPatchDownload
