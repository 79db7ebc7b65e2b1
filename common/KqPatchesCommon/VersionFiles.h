// Readers of the small files beside cache content: key=value version files,
// "timestamp.txt" files, checksum files and ".description" files.
//
// Each reads one file given by its full path, keeps no state and writes
// nothing; problems are reported by the result and one line on the default
// log. Lines may end in LF or CR-LF (one carriage return before the line feed
// is not part of a value) and may be of any length; files larger than
// kqtext::kMaxSmallTextFileBytes are refused.
#ifndef KQPATCHESCOMMON_VERSIONFILES_H_
#define KQPATCHESCOMMON_VERSIONFILES_H_

#pragma GCC visibility push(default)

#include <string>

#include "Versions/FullVersion.h"

// value = the text of the first line that begins with key (case-sensitive),
// after the key and one separator character ("="); a line that is just the
// key gives an empty value. False when no line matches (value cleared once
// the file was read) or the file cannot be read. The job id labels log lines.
bool ReadAttrFromFile(const std::string& path, std::string key, std::string& value,
                      unsigned long jobId);

// contents = every line of the file joined without line ends. False, contents
// untouched, when the file cannot be read.
bool ReadFileInString(const std::string& path, std::string& contents, unsigned long jobId);

// Reads a service pack's version file ("ServicePack", "SPTranID",
// "CumulativeUpdateName", "RevisionNumber", and with setReleaseAndBuild
// "BUILD"/"VERSION" or else "Version"). Without "ServicePack" or "SPTranID"
// sp is reset to a default version and the result is false.
bool SetSPVersionFromVersionFile(_SPVersion& sp, const std::string& path, unsigned long jobId,
                                 bool setReleaseAndBuild);

// A stamp value: an optional sign and decimal digits, blanks and tabs around them allowed, that
// fits in 64 bits. False (value untouched) for anything else: "", "12abc", "1e9", an overflow.
bool ParseStampValue(const std::string& text, long long& value);

// The value of the last "UnixTime=" line (key in any case) whose value
// ParseStampValue accepts, 0 when there is none. message (when given) receives "0 ..." for a missing file, "1 ..." for
// an unreadable one, "2 ..." when no timestamp line was found, and
// "-reduced-" for a file that marks a reduced package; it is not touched
// otherwise.
long long ExtractTimestamp(const char* path, std::string* message);

// The first whitespace-delimited word of the file; "0" when there is none or
// the file cannot be read.
std::string getChecksumFromFile(std::string path);

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_VERSIONFILES_H_
