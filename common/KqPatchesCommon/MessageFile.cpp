#include "MessageFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <new>

#include "Messages/MessageXml.h"
#include "Messages/UpdatePatches.h"
#include "PortableFiles/PxFile.h"

bool KqLoadMessageFile(const std::string& path, CNMessageBase& message, EvDebug& log,
                       const char* tag, unsigned long long maxBytes) {
  struct stat sb;
  if (::stat(path.c_str(), &sb) != 0) {
    log.Debug(tag, "Input XML file [%s] does not exist", path.c_str());
    return false;
  }
  std::string text;
  CPxError e;
  try {
    e = CPxFile::ReadRegular(path, maxBytes, text);
  } catch (const std::bad_alloc&) {
    log.Debug(tag, "Failed to read file [%s]: no memory for its [%lld] bytes", path.c_str(),
              static_cast<long long>(sb.st_size));
    return false;
  }
  if (e.IsError()) {
    log.Debug(tag, "Failed to read file [%s], error [%d:%s]", path.c_str(), e.GetErrorCode(),
              e.c_str());
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
