// loadXMLFromFile: reads a configuration file of the message library into its message.
//
// A template over the message class and the log sink (an EvDebug, or a job's IPatchEvent,
// whose log is used). The file is read whole, its line breaks removed, and decoded
// (KqLoadMessageFile); files larger than kMaxConfigFileBytes are refused without being read.
// Failures are logged with the tag "loadXMLFromFile" and leave the message as it was.
#ifndef KQPATCHESCOMMON_CACHEFILELISTSLOADXML_H_
#define KQPATCHESCOMMON_CACHEFILELISTSLOADXML_H_

#include <string>

#include "Logging/EvDebug.h"
#include "MessageFile.h"
#include "nPatchDownload/IPatchEvent.h"

namespace nPatchDownload {

// The largest configuration file the readers accept (64 MiB); a real one is a few MiB at most.
constexpr unsigned long long kMaxConfigFileBytes = 64ull << 20;

inline EvDebug& LogOfSink(EvDebug& log) { return log; }
inline EvDebug& LogOfSink(IPatchEvent& events) { return *events.GetEvDebug(); }

template <class Message, class Sink>
bool loadXMLFromFile(const std::string& path, Message& message, Sink& sink) {
  return KqLoadMessageFile(path, message, LogOfSink(sink), "loadXMLFromFile", kMaxConfigFileBytes);
}

}  // namespace nPatchDownload

#endif  // KQPATCHESCOMMON_CACHEFILELISTSLOADXML_H_
