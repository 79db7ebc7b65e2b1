#include "SmallTextFile.h"

#include <cerrno>
#include <fstream>

namespace kqtext {

ReadStatus ReadSmallTextFile(const std::string& path, std::string& content, int* error) {
  errno = 0;
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in.is_open()) {
    if (error != nullptr) *error = errno;
    return ReadStatus::kOpenFailed;
  }
  std::string text;
  char buffer[64 * 1024];
  while (true) {
    in.read(buffer, sizeof(buffer));
    const std::streamsize got = in.gcount();
    if (got > 0) {
      if (text.size() + static_cast<std::size_t>(got) > kMaxSmallTextFileBytes)
        return ReadStatus::kTooLarge;
      text.append(buffer, static_cast<std::size_t>(got));
    }
    if (!in) break;
  }
  if (in.bad() || (!in.eof() && in.fail())) {
    // A folder opens as a stream but cannot be read.
    if (error != nullptr) *error = errno != 0 ? errno : EIO;
    return ReadStatus::kOpenFailed;
  }
  content.swap(text);
  return ReadStatus::kOk;
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
