#include "SmallTextFile.h"

#include <cerrno>

#include "PortableFiles/PxFile.h"

namespace kqtext {

ReadStatus ReadSmallTextFile(const std::string& path, std::string& content, int* error) {
  CPxError e = CPxFile::ReadRegular(path, kMaxSmallTextFileBytes, content);
  if (!e.IsError()) return ReadStatus::kOk;
  if (e.GetErrorCode() == EFBIG) return ReadStatus::kTooLarge;
  if (error != nullptr) *error = e.GetErrorCode();
  return ReadStatus::kOpenFailed;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

void StripTrailingCR(std::string& line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
}

}  // namespace kqtext
