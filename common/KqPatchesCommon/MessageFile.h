// Reading a message from an XML file: the load every XML reader of the library does.
//
// The file is read whole, every CR and LF is removed (values never hold a literal line break:
// the writer stores them as character references), and the text is decoded into the caller's
// message, whose class the file's root must be. Failures are logged on the given log with the
// given tag and leave the message as it was.
#ifndef KQ_COMMON_KQPATCHESCOMMON_MESSAGEFILE_H_
#define KQ_COMMON_KQPATCHESCOMMON_MESSAGEFILE_H_

#include <string>

#include "Logging/EvDebug.h"
#include "Messages/CNMessageBase.h"

// True when the message was read from path.
bool KqLoadMessageFile(const std::string& path, CNMessageBase& message, EvDebug& log,
                       const char* tag);

#endif  // KQ_COMMON_KQPATCHESCOMMON_MESSAGEFILE_H_
