// File checksums of the patch jobs.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "CRCCoder.h"
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
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    event.Debug("CalculateCRC", "Failed to open file [%s] for checking, error [%d:%s]",
                path.c_str(), err, std::strerror(err));
    return 0x80000010;
  }
  uint32_t value = 0;
  while (true) {
    ssize_t got = ::read(fd, buffer.get(), size);
    if (got < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      event.Debug("CalculateCRC", "Failed to read file [%s], error [%d:%s]", path.c_str(), err,
                  std::strerror(err));
      return 0x80000010;
    }
    if (got == 0) break;
    value = KqCrc32(value, buffer.get(), static_cast<size_t>(got));
  }
  ::close(fd);
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
