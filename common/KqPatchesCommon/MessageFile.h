// Reading a message from an XML file: the load every XML reader of the library does.
//
// The file is read whole, every CR and LF is removed (values never hold a literal line break:
// the writer stores them as character references), and the text is decoded into the caller's
// message, whose class the file's root must be. Failures are logged on the given log with the
// given tag and leave the message as it was. Only a regular file of at most maxBytes (when
// given, else kMaxMessageFileBytes) is read (a FIFO or device is refused at once, never waited
// on); running out of memory is a failure like the others.
#ifndef KQ_COMMON_KQPATCHESCOMMON_MESSAGEFILE_H_
#define KQ_COMMON_KQPATCHESCOMMON_MESSAGEFILE_H_

#pragma GCC visibility push(default)

#include <string>

#include "Logging/EvDebug.h"
#include "Messages/CNMessageBase.h"

// The largest message file read unless the caller gives its own cap: the release-information
// and configuration files read here are kilobytes, and a document is decoded into a tree many
// times its size, so a hostile file is refused before it is read. A reader of a catalogue or
// file list gives the cap of that kind.
constexpr unsigned long long kMaxMessageFileBytes = 16ULL << 20;

// True when the message was read from path.
bool KqLoadMessageFile(const std::string& path, CNMessageBase& message, EvDebug& log,
                       const char* tag, unsigned long long maxBytes = kMaxMessageFileBytes);

#pragma GCC visibility pop

#endif  // KQ_COMMON_KQPATCHESCOMMON_MESSAGEFILE_H_
