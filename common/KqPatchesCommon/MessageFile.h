// Reading a message from an XML file: the load every XML reader of the library does.
//
// The file is read whole, every CR and LF is removed (values never hold a literal line break:
// the writer stores them as character references), and the text is decoded into the caller's
// message, whose class the file's root must be. Failures are logged on the given log with the
// given tag and leave the message as it was. Only a regular file of at most maxBytes (when
// given, else kMaxMessageFileBytes) is read (a FIFO or device is refused at once, never waited
// on).
#ifndef KQ_COMMON_KQPATCHESCOMMON_MESSAGEFILE_H_
#define KQ_COMMON_KQPATCHESCOMMON_MESSAGEFILE_H_

#pragma GCC visibility push(default)

#include <string>

#include "Logging/EvDebug.h"
#include "Messages/CNMessageBase.h"

// The largest message file read: far above any catalogue or file list the cache holds (the
// largest are tens of megabytes), and low enough that a hostile file cannot exhaust memory.
constexpr unsigned long long kMaxMessageFileBytes = 512ULL << 20;

// True when the message was read from path.
bool KqLoadMessageFile(const std::string& path, CNMessageBase& message, EvDebug& log,
                       const char* tag, unsigned long long maxBytes = kMaxMessageFileBytes);

#pragma GCC visibility pop

#endif  // KQ_COMMON_KQPATCHESCOMMON_MESSAGEFILE_H_
