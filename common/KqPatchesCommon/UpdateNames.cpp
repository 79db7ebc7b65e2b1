// Update and service-pack name grammar, and the readers built on it.
#include "UpdateNames.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "Logging/EvDebug.h"
#include "SmallTextFile.h"
#include "Vocabulary.h"

namespace {

const char kTooLongSPPart[] = "Internal Error:Too long SP major or minor number";
const char kInvalidPatch[] = "Invalid patch";
constexpr std::size_t kUpdateFieldLimits[3] = {32, 512, 32};
const char kExe[] = ".exe";
constexpr std::size_t kExeLen = sizeof(kExe) - 1;

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsPathSeparator(unsigned char c) { return c == '/' || c == '\\'; }
bool IsBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::size_t MinimumLength(UPDATETYPE type, bool remote) {
  if (type == UPDATETYPE_UPDATE) return remote ? 16 : 12;
  if (type == UPDATETYPE_SERVICEPACK) return remote ? 7 : 3;
  return 0;
}

// The first `examined` bytes of name as a service-pack name; empty when valid,
// else the reason. The version parser reads names by the same grammar, except that it also
// refuses a major part too large for its number: such a name is valid here (each part may
// hold up to 32 characters), and the readers of versions log that they cannot read it.
std::string CheckServicePack(const char* name, std::size_t examined) {
  switch (ReadServicePackName(name, examined, nullptr)) {
    case kSPNameOk: return std::string();
    case kSPNameBadPrefix: return "Invalid initial tokens";
    case kSPNamePartTooLong: return kTooLongSPPart;
    case kSPNameBadMinor: return "Invalid character in SP minor number";
    case kSPNameBadMajor: return "Invalid SP major number";
    case kSPNameMajorTooLarge: break;
  }
  return std::string();
}

// The first `examined` bytes of name as an update name; empty when valid,
// else the reason.
std::string CheckUpdate(const char* name, std::size_t examined) {
  std::size_t lengths[3] = {0, 0, 0};
  int field = 0;
  for (std::size_t i = 0; i < examined; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == '_') {
      if (field < 2 && lengths[field] > 0) {
        ++field;
        continue;
      }
      return kInvalidPatch;  // leading, doubled or third underscore
    }
    if (IsBlank(c) || IsPathSeparator(c)) return kInvalidPatch;
    if (++lengths[field] > kUpdateFieldLimits[field]) return "Internal Error:Patch name too long";
  }
  if (field < 2 || lengths[2] == 0) return kInvalidPatch;
  const std::string osName(name, lengths[0]);
  SetOSTypesInfo();  // the OS names must be known, or every name would fail
  if (!isOSShortNameInList(osName.c_str())) return "Unrecognized OS name [" + osName + "] in patch";
  return std::string();
}

// Value of a number read with base detection ("0x" hexadecimal, leading "0"
// octal); reading stops at the first byte that does not fit. 0 when there is
// no number or it does not fit an int.
int ReadNumberAutoBase(const std::string& text) {
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 0);
  if (errno == ERANGE || value > INT_MAX || value < INT_MIN) return 0;
  return static_cast<int>(value);
}

}  // namespace

bool isUpdateFileStrValid(const char* name, UPDATETYPE type, UPDATE_FILE_LOC location) {
  const bool remote = location == UPDATE_FILE_LOC_REMOTE;
  std::string reason;
  const std::size_t length = name != nullptr ? std::strlen(name) : 0;
  if (name == nullptr) {
    reason = "No name";
  } else if (length < MinimumLength(type, remote)) {
    reason = "Name too short";
  } else if (remote && (length < kExeLen || std::strcmp(name + length - kExeLen, kExe) != 0)) {
    reason = "Invalid file extension";
  } else if (type == UPDATETYPE_SERVICEPACK) {
    const std::size_t examined = remote ? std::strstr(name, kExe) - name : length;
    reason = CheckServicePack(name, examined);
  } else if (type == UPDATETYPE_UPDATE) {
    reason = CheckUpdate(name, remote ? length - kExeLen : length);
  }
  if (reason.empty()) return true;
  EvDebug().Debug("[isUpdateFileStrValid]",
                  type == UPDATETYPE_SERVICEPACK ? "Invalid SP [%s] found at %s.Error[%s]"
                                                 : "Invalid Update [%s] found at %s.Error[%s]",
                  name != nullptr ? name : "", remote ? "remote site" : "local cache",
                  reason.c_str());
  return false;
}

bool GetSPUpdatesNew(const char* folder, std::vector<std::string>* names) {
  const std::string path = std::string(folder != nullptr ? folder : "") + "/" + "Updates.txt";
  EvDebug log;
  std::string content;
  int error = 0;
  const kqtext::ReadStatus status = kqtext::ReadSmallTextFile(path, content, &error);
  if (status == kqtext::ReadStatus::kOpenFailed) {
    log.Debug("[GetSPUpdatesNew]", "Could not open file [%s] with errno [%d]", path.c_str(), error);
    return true;
  }
  if (status == kqtext::ReadStatus::kTooLarge) {
    log.Debug("[GetSPUpdatesNew]", "File [%s] is larger than [%zu] bytes; not read", path.c_str(),
              kqtext::kMaxSmallTextFileBytes);
    return true;
  }
  for (std::string& line : kqtext::SplitLines(content)) {
    const std::size_t cr = line.find('\r');
    if (cr != std::string::npos) line.resize(cr);
    // A NUL byte would hide the rest of the line from the validator.
    if (line.find('\0') != std::string::npos) continue;
    if (!isUpdateFileStrValid(line.c_str(), UPDATETYPE_UPDATE, UPDATE_FILE_LOC_LOCAL)) continue;
    log.DebugLvl("[GetSPUpdatesNew]", 10, "  Found Update : [%s]", line.c_str());
    if (names != nullptr) names->push_back(line);
  }
  return true;
}

bool GetSPUpdatesNew(const char* folder, std::list<std::string>& names) {
  std::vector<std::string> found;
  const bool result = GetSPUpdatesNew(folder, &found);
  names.insert(names.end(), found.begin(), found.end());
  return result;
}

bool parseUpdateStr(std::string text, _SPVersion& sp, bool* missing) {
  static const char kKey[] = "ServicePack";
  const std::size_t pos = text.find(kKey);
  // The key and the one character after it are skipped.
  const std::size_t restStart = pos == std::string::npos ? pos : pos + sizeof(kKey);
  if (restStart == std::string::npos || restStart > text.size()) {
    sp.SetMajor(0);
    sp.SetMinor(0);
    return true;
  }
  const std::string rest = text.substr(restStart);
  std::size_t cut = rest.find(' ');
  if (cut == std::string::npos) cut = rest.find('[');
  if (cut == std::string::npos) cut = rest.find(',');
  // A name that is no service pack tells nothing: the record stays as it was.
  _SPVersion parsed;
  if (!_SPVersion::ParseSPName("SP" + rest.substr(0, cut), &parsed)) return true;
  sp.SetSPNumber(parsed);
  if (missing != nullptr && rest.find(parsed.ToStr(false) + " [Missing for") != std::string::npos)
    *missing = true;
  return true;
}

void GetSPversionFromSPFolderName(std::string folderName, _SPVersion& sp) {
  const std::size_t first = folderName.find('_');
  const std::size_t last = folderName.rfind('_');
  // The record changes only when the name before the first underscore is a service pack.
  _SPVersion read = sp;
  if (!_SPVersion::ParseSPName(folderName.substr(0, first), &read)) return;
  read.SetTransId(first != std::string::npos && last > first
                      ? ReadNumberAutoBase(folderName.substr(first + 1, last - first - 1))
                      : 0);
  // The revision follows one character ("R") after the last underscore.
  read.SetRevId(first != std::string::npos && last + 2 < folderName.size()
                    ? ReadNumberAutoBase(folderName.substr(last + 2))
                    : 0);
  sp = read;
}

int CompareFirstLevelVersion(const char* a, const char* b) {
  if (a == nullptr) a = "";
  if (b == nullptr) b = "";
  std::size_t na = 0, nb = 0;
  while (IsDigit(static_cast<unsigned char>(a[na]))) ++na;
  while (IsDigit(static_cast<unsigned char>(b[nb]))) ++nb;
  constexpr std::size_t kSignificant = 7;
  if (na <= kSignificant && nb <= kSignificant) {
    const int va = na > 0 ? std::atoi(std::string(a, na).c_str()) : 0;
    const int vb = nb > 0 ? std::atoi(std::string(b, nb).c_str()) : 0;
    if (va != vb) return va - vb;
  } else {
    // Longer runs: compare the numbers by their digits, without converting.
    std::size_t za = 0, zb = 0;
    while (za + 1 < na && a[za] == '0') ++za;
    while (zb + 1 < nb && b[zb] == '0') ++zb;
    const std::string da = na > 0 ? std::string(a + za, na - za) : "0";
    const std::string db = nb > 0 ? std::string(b + zb, nb - zb) : "0";
    if (da.size() != db.size()) return da.size() < db.size() ? -1 : 1;
    const int c = da.compare(db);
    if (c != 0) return c < 0 ? -1 : 1;
  }
  return strcasecmp(a + na, b + nb);
}
