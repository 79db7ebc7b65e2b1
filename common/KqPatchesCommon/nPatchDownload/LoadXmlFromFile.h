// loadXMLFromFile: the one reader of a message file into its message, for the patch job classes
// (through their IPatchEvent) and the cache's configuration readers (through an EvDebug).
//
// The file must be a regular file of at most maxBytes bytes (the cap is the caller's: each
// kind of file has its own); it is read whole, every CR and LF removed (values never hold a
// literal line break), and decoded into the message, whose class the file's root must be.
// Failures are logged through the sink with the tag "loadXMLFromFile" and return false; the
// message is then left as it was.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_LOADXMLFROMFILE_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_LOADXMLFROMFILE_H_

#pragma GCC visibility push(default)

#include <string>

#include "Messages/MessageXml.h"
#include "Messages/UpdatePatches.h"

namespace nPatchDownload {

// Why a message file could not be read.
struct tMessageFileError {
  bool missing = false;  // not a regular file (or no file at all)
  int code = 0;          // the error number of a read failure
  std::string text;      // and its text
};

// Reads path whole into text, line ends removed. False with the reason in error when the file
// is missing or not a regular file, larger than maxBytes (EFBIG), or cannot be read.
bool ReadMessageFileText(const std::string& path, unsigned long long maxBytes, std::string& text,
                         tMessageFileError& error);

template <class Message, class Sink>
bool loadXMLFromFile(const std::string& path, Message& message, Sink& sink,
                     unsigned long long maxBytes) {
  static const char* kTag = "loadXMLFromFile";
  std::string text;
  tMessageFileError error;
  auto read = [&]() {
    if (ReadMessageFileText(path, maxBytes, text, error)) return true;
    if (error.missing) {
      sink.Debug(kTag, "Input XML file [%s] does not exist", path.c_str());
    } else {
      sink.Debug(kTag, "Failed to read file [%s], error [%d:%s]", path.c_str(), error.code,
                 error.text.c_str());
    }
    return false;
  };
  if (!read()) return false;
  if (XMLDecoder::initialize() != 0) {
    sink.Debug(kTag, "Failed to initialize XMLDecoder");
    return false;
  }
  UpdatePatches::RegisterSubsystem();
  // Decoded where it was read; a text that only the plain decode reads is read again for it.
  int rc = XMLDecoder::unSerializeInPlace(message, &text[0], text.size());
  if (rc == kMsgRetryWithText) {
    if (!read()) return false;
    rc = XMLDecoder::unSerialize(message, text, nullptr);
  }
  if (rc != 0) {
    sink.Debug(kTag, "Failed to unserialize XML file [%s] with error code [%d]", path.c_str(), rc);
    return false;
  }
  return true;
}

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_LOADXMLFROMFILE_H_
