// Reading the small text files that sit beside cache content (version,
// timestamp, checksum and ".description" files, "Updates.txt" manifests).
//
// A file is read whole into memory, up to a cap, so that a damaged or hostile
// file cannot exhaust memory; lines are then split out of the text, however
// long each is.
#ifndef KQPATCHESCOMMON_SMALLTEXTFILE_H_
#define KQPATCHESCOMMON_SMALLTEXTFILE_H_

#pragma GCC visibility push(default)

#include <cstddef>
#include <string>
#include <vector>

namespace kqtext {

// Larger files are refused: none of these files comes near it.
constexpr std::size_t kMaxSmallTextFileBytes = 16u << 20;

enum class ReadStatus { kOk, kOpenFailed, kTooLarge };

// Reads the file at path into content. Only a regular file is read: a FIFO,
// socket or device is refused at once (kOpenFailed, EINVAL), never waited on.
// On kOpenFailed, *error (when given) receives the error number; content is
// only replaced on kOk.
ReadStatus ReadSmallTextFile(const std::string& path, std::string& content, int* error);

// The lines of text, split at each line feed; a final line without a line
// feed counts, an empty text has no lines. Carriage returns are kept.
std::vector<std::string> SplitLines(const std::string& text);

// Removes one trailing carriage return (the rest of a CR-LF line end).
void StripTrailingCR(std::string& line);

}  // namespace kqtext

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_SMALLTEXTFILE_H_
