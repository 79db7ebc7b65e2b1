#include "MediaAccess/UrlText.h"

#include <cctype>

namespace kqmedia {

namespace {

// RFC 3986: a letter, then letters, digits, "+", "-" or ".".
bool IsScheme(const std::string& text) {
  if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
  for (unsigned char c : text)
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
  return true;
}

}  // namespace

std::string UrlForText(const std::string& url) {
  if (!url.empty() && url[0] == '/') return url;  // a local path
  const size_t scheme = url.find("://");
  const size_t hostStart =
      scheme != std::string::npos && IsScheme(url.substr(0, scheme)) ? scheme + 3 : 0;
  size_t at = url.find('@', hostStart);
  if (at == std::string::npos) return url;
  size_t hostEnd = url.find('/', at);
  if (hostEnd == std::string::npos) hostEnd = url.size();
  at = url.rfind('@', hostEnd - 1);
  return url.substr(0, hostStart) + "***" + url.substr(at);
}

}  // namespace kqmedia
