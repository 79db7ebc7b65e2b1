// loadXMLFromFile: reads a configuration file of the message library into its message.
//
// A template over the message class and the log sink (EvDebug, or a job's IPatchEvent: any
// type with Debug(tag, format, ...)). The file is read whole, its line breaks removed (the
// message text is one line; a value's own line breaks are written as references), and
// decoded. Files larger than kMaxConfigFileBytes are refused without being read.
#ifndef KQPATCHESCOMMON_CACHEFILELISTSLOADXML_H_
#define KQPATCHESCOMMON_CACHEFILELISTSLOADXML_H_

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <ios>
#include <new>
#include <string>
#include <system_error>

#include "Messages/MessageXml.h"
#include "Messages/UpdatePatches.h"
#include "nPatchDownload/CPatchInstallCommon.h"

namespace nPatchDownload {

// The largest configuration file the readers accept (64 MiB); a real one is a few MiB at most.
constexpr unsigned long long kMaxConfigFileBytes = 64ull << 20;

template <class Message, class Sink>
bool loadXMLFromFile(const std::string& path, Message& message, Sink& log) {
  static const char* kTag = "loadXMLFromFile";
  if (!CPatchInstallCommon::IsFileExisted(path)) {
    log.Debug(kTag, "Input XML file [%s] does not exist", path.c_str());
    return false;
  }
  std::string text;
  errno = 0;
  try {
    std::ifstream in;
    in.exceptions(std::ios::failbit | std::ios::badbit);
    in.open(path, std::ios::in | std::ios::binary);
    in.seekg(0, std::ios::end);
    const unsigned long long size = static_cast<unsigned long long>(in.tellg());
    if (size > kMaxConfigFileBytes) {
      log.Debug(kTag, "Failed to read file [%s], error [%d:%s]", path.c_str(), EFBIG,
                "file is larger than a configuration file can be");
      return false;
    }
    text.resize(static_cast<size_t>(size));
    in.seekg(0, std::ios::beg);
    if (size > 0) in.read(&text[0], static_cast<std::streamsize>(size));
  } catch (const std::ios_base::failure& e) {
    const int code = errno != 0 ? errno : e.code().value();
    log.Debug(kTag, "Failed to read file [%s], error [%d:%s]", path.c_str(), code, e.what());
    return false;
  } catch (const std::bad_alloc&) {
    log.Debug(kTag, "Failed to read file [%s], error [%d:%s]", path.c_str(), ENOMEM,
              "out of memory");
    return false;
  }
  text.erase(std::remove_if(text.begin(), text.end(),
                            [](char c) { return c == '\n' || c == '\r'; }),
             text.end());
  if (XMLDecoder::initialize() != 0) {
    log.Debug(kTag, "Failed to initialize XMLDecoder");
    return false;
  }
  UpdatePatches::RegisterSubsystem();
  const int rc = XMLDecoder::unSerialize(message, text, nullptr);
  if (rc != 0) {
    log.Debug(kTag, "Failed to unserialize XML file [%s] with error code [%d]", path.c_str(), rc);
    return false;
  }
  return true;
}

}  // namespace nPatchDownload

#endif  // KQPATCHESCOMMON_CACHEFILELISTSLOADXML_H_
