#include "MessageFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Messages/MessageXml.h"
#include "Messages/UpdatePatches.h"

bool KqLoadMessageFile(const std::string& path, CNMessageBase& message, EvDebug& log,
                       const char* tag) {
  struct stat sb;
  if (::stat(path.c_str(), &sb) != 0) {
    log.Debug(tag, "Input XML file [%s] does not exist", path.c_str());
    return false;
  }
  std::string text;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  int err = fd < 0 ? errno : 0;
  if (fd >= 0) {
    char buffer[65536];
    while (true) {
      ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) err = errno;
      if (got <= 0) break;
      text.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
  }
  if (err != 0) {
    log.Debug(tag, "Failed to read file [%s], error [%d:%s]", path.c_str(), err,
              std::strerror(err));
    return false;
  }
  text.erase(std::remove_if(text.begin(), text.end(),
                            [](char c) { return c == '\n' || c == '\r'; }),
             text.end());
  if (XMLDecoder::initialize() != 0) {
    log.Debug(tag, "Failed to initialize XMLDecoder");
    return false;
  }
  UpdatePatches::RegisterSubsystem();
  int rc = XMLDecoder::unSerialize(message, text, nullptr);
  if (rc != 0) {
    log.Debug(tag, "Failed to unserialize XML file [%s] with error code [%d]", path.c_str(), rc);
    return false;
  }
  return true;
}
