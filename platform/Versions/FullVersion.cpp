#include "Versions/FullVersion.h"

#include <climits>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }
// A byte that may stand in a minor part: anything but a path separator or NUL.
bool IsMinorByte(char c) { return c != '\0' && !IsPathSeparator(c); }
// The minor of a record: none, or a byte that may start a minor part (not a digit).
bool IsValidMinor(int v) {
  return v == 0 || (v > 0 && v < 256 && !IsDigit(static_cast<char>(v)) &&
                    IsMinorByte(static_cast<char>(v)));
}

constexpr std::size_t kSPPartLimit = 32;
constexpr std::size_t kSPNameMinimum = 3;  // "SP" and at least one byte of major or minor

// Reads one text form from left to right. Every step returns false on a mismatch, and the
// caller only commits what it read once the whole text was consumed (Done).
class Scanner {
 public:
  explicit Scanner(const std::string& text) : text_(text), pos_(0) {}

  bool Literal(const char* lit) {
    size_t i = pos_;
    for (; *lit; ++lit, ++i) {
      if (i >= text_.size() || text_[i] != *lit) return false;
    }
    pos_ = i;
    return true;
  }

  // A canonical 32-bit decimal: "0", or an optional "-" then 1-9 and more digits.
  bool Number(int* out) {
    size_t i = pos_;
    bool negative = false;
    if (i < text_.size() && text_[i] == '-') {
      negative = true;
      ++i;
    }
    if (i >= text_.size() || !IsDigit(text_[i])) return false;
    if (text_[i] == '0') {
      if (negative) return false;  // no "-0"
      if (i + 1 < text_.size() && IsDigit(text_[i + 1])) return false;  // no leading zeros
    }
    // Accumulate as a negative value so that INT_MIN is reachable without overflow.
    long long value = 0;
    for (; i < text_.size() && IsDigit(text_[i]); ++i) {
      value = value * 10 - (text_[i] - '0');
      if (value < static_cast<long long>(INT_MIN)) return false;
    }
    if (!negative) {
      value = -value;
      if (value > INT_MAX) return false;
    }
    *out = static_cast<int>(value);
    pos_ = i;
    return true;
  }

  // A service-pack name: up to the next '_' inside a longer form, else to the end. Inside a
  // longer form, the major no name can carry (0, printed "SP0" or "SP0a") is read back too.
  bool SPName(bool inLongerForm, SPNameParts* parts, std::string* name) {
    size_t end = inLongerForm ? text_.find('_', pos_) : std::string::npos;
    if (end == std::string::npos) end = text_.size();
    if (end - pos_ >= kSPNameMinimum &&
        ReadServicePackName(text_.data() + pos_, end - pos_, parts) == kSPNameOk) {
      name->assign(text_, pos_, end - pos_);
      pos_ = end;
      return true;
    }
    if (inLongerForm && MajorZero(end, parts)) {
      name->clear();
      return true;
    }
    return false;
  }

  bool Done() const { return pos_ == text_.size(); }

 private:
  // "SP0", at most one minor byte, and then `end`.
  bool MajorZero(size_t end, SPNameParts* parts) {
    const size_t start = pos_;
    int major = 0;
    if (Literal("SP") && Number(&major) && major == 0 && end - pos_ <= 1 &&
        (end == pos_ || IsValidMinor(static_cast<unsigned char>(text_[pos_])))) {
      parts->major = major;
      parts->majorLength = 0;
      parts->minor.assign(text_, pos_, end - pos_);
      pos_ = end;
      return true;
    }
    pos_ = start;
    return false;
  }

  const std::string& text_;
  size_t pos_;
};

std::string MinorStr(int minor) {
  return minor == 0 ? std::string() : std::string(1, static_cast<char>(minor));
}

int MinorOf(const SPNameParts& parts) {
  return parts.minor.empty() ? 0 : static_cast<unsigned char>(parts.minor[0]);
}

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n";
  size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

// Fields shown as plain decimal numbers (the minor is a letter, 4, 7 and 10 are texts).
bool IsNumericField(int field) {
  switch (field) {
    case FullVersion::kRelease:
    case FullVersion::kBuild:
    case FullVersion::kSPMajor:
    case FullVersion::kTransactionId:
    case FullVersion::kRevisionId:
    case FullVersion::kUPNumber:
    case FullVersion::kUPTransactionId:
      return true;
    default:
      return false;
  }
}

int Sign(long long d) { return d < 0 ? -1 : (d > 0 ? 1 : 0); }

// The numbers a text form may carry, as read before they are committed.
struct Parsed {
  int release = 0, build = 0, trans = 0, rev = 0, upNumber = 0, upTrans = 0;
  SPNameParts sp;
  std::string spName;
};

// A service-pack name inside a longer form ends at the next '_'.
bool ScanSPName(Scanner& s, Parsed& p) { return s.SPName(true, &p.sp, &p.spName); }

// <service-pack name> "_" <trans> "_R" <rev>
bool ScanSPFolder(Scanner& s, Parsed& p) {
  return ScanSPName(s, p) && s.Literal("_") && s.Number(&p.trans) && s.Literal("_R") &&
         s.Number(&p.rev);
}

// "V" <release> "B" <build> "_"
bool ScanReleaseBuild(Scanner& s, Parsed& p) {
  return s.Literal("V") && s.Number(&p.release) && s.Literal("B") && s.Number(&p.build) &&
         s.Literal("_");
}

}  // namespace

SPNameCheck ReadServicePackName(const char* text, std::size_t length, SPNameParts* parts) {
  if (text == nullptr || length < 2 || text[0] != 'S' || text[1] != 'P') return kSPNameBadPrefix;
  std::size_t majorLength = 0;
  long long value = 0;
  bool fits = true;
  std::size_t i = 2;
  for (; i < length && IsDigit(text[i]); ++i) {
    if (++majorLength > kSPPartLimit) return kSPNamePartTooLong;
    value = value * 10 + (text[i] - '0');
    if (value > INT_MAX) {
      fits = false;
      value = INT_MAX;  // keeps the sum bounded; the name is refused below
    }
  }
  const std::size_t minorStart = i;
  for (; i < length; ++i) {
    if (!IsMinorByte(text[i])) return kSPNameBadMinor;
    if (i - minorStart + 1 > kSPPartLimit) return kSPNamePartTooLong;
  }
  if (majorLength == 1 && text[2] == '0') return kSPNameBadMajor;
  if (!fits) return kSPNameMajorTooLarge;
  if (parts != nullptr) {
    parts->major = static_cast<int>(value);
    parts->majorLength = majorLength;
    parts->minor.assign(text + minorStart, length - minorStart);
  }
  return kSPNameOk;
}

// ---------------------------------------------------------------------------------------------
// _SPVersion

_SPVersion::_SPVersion() : release_(0), build_(0), major_(0), minor_(0), transId_(0), revId_(0) {}

_SPVersion::_SPVersion(int major, int minor, int transId, int revId)
    : release_(0),
      build_(0),
      major_(major),
      minor_(IsValidMinor(minor) ? minor : 0),
      transId_(transId),
      revId_(revId) {}

_SPVersion::_SPVersion(const std::string& spName, const std::string& cuName, int build,
                       int transId, int revId)
    : release_(0),
      build_(build),
      major_(0),
      minor_(0),
      transId_(transId),
      revId_(revId),
      cuName_(cuName) {
  SetSPName(spName);
}

_SPVersion::_SPVersion(const FullVersion& version) : _SPVersion(version.GetSPVersion()) {}

// The service-pack texts are the full version's forms 2 and 3, parsed in one place.
bool _SPVersion::ParseSPName(const std::string& name, _SPVersion* out) {
  FullVersion v(*out);
  if (!v.set_formatted_str(FullVersion::kFormatSPName, name)) return false;
  *out = v.GetSPVersion();
  return true;
}

_SPVersion _SPVersion::FromName(const SPNameParts& parts, const std::string& name) {
  _SPVersion number(parts.major, MinorOf(parts));
  number.spName_ = name;
  return number;
}

void _SPVersion::SetSPNumber(const _SPVersion& from) {
  major_ = from.major_;
  minor_ = from.minor_;
  spName_ = from.spName_;
}

bool _SPVersion::SetSPName(const std::string& name) { return ParseSPName(Trim(name), this); }

std::string _SPVersion::ToStr(bool withPrefix) const {
  if (!spName_.empty()) return withPrefix ? spName_ : spName_.substr(2);
  return (withPrefix ? "SP" : "") + std::to_string(major_) + MinorStr(minor_);
}

std::string _SPVersion::GetMinorStr() const {
  if (spName_.empty()) return MinorStr(minor_);
  const std::size_t start = spName_.find_first_not_of("0123456789", 2);
  return start == std::string::npos ? std::string() : spName_.substr(start);
}

std::string _SPVersion::getMajorStr() const { return std::to_string(major_); }

std::string _SPVersion::getSPFolderNameStr() const {
  return ToStr(true) + "_" + std::to_string(transId_) + "_R" + std::to_string(revId_);
}

bool _SPVersion::ParseSPFolderName(const std::string& name, _SPVersion* out) {
  FullVersion v(*out);
  if (!v.set_formatted_str(FullVersion::kFormatSPFolder, name)) return false;
  *out = v.GetSPVersion();
  return true;
}

bool _SPVersion::SetMinor(int v) {
  if (!IsValidMinor(v)) return false;
  minor_ = v;
  spName_.clear();
  return true;
}

int _SPVersion::CompareMinor(const _SPVersion& a, const _SPVersion& b) {
  if (a.spName_.empty() && b.spName_.empty())  // one byte at most on either side
    return a.minor_ == b.minor_ ? 0 : (a.minor_ < b.minor_ ? -1 : 1);
  const int c = a.GetMinorStr().compare(b.GetMinorStr());  // bytewise, as unsigned bytes
  return c == 0 ? 0 : (c < 0 ? -1 : 1);
}

int _SPVersion::Compare(const _SPVersion& a, const _SPVersion& b) {
  const int ka[] = {a.release_, a.build_, a.major_};
  const int kb[] = {b.release_, b.build_, b.major_};
  for (size_t i = 0; i < sizeof(ka) / sizeof(ka[0]); ++i) {
    if (ka[i] != kb[i]) return ka[i] < kb[i] ? -1 : 1;
  }
  if (const int minor = CompareMinor(a, b)) return minor;
  const int la[] = {a.transId_, a.revId_};
  const int lb[] = {b.transId_, b.revId_};
  for (size_t i = 0; i < sizeof(la) / sizeof(la[0]); ++i) {
    if (la[i] != lb[i]) return la[i] < lb[i] ? -1 : 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// FullVersion

int FullVersion::Get(int field) const {
  switch (field) {
    case kRelease: return sp_.GetRelease();
    case kBuild: return sp_.GetBuild();
    case kSPMajor: return sp_.GetMajor();
    case kSPMinor: return sp_.GetMinor();
    case kTransactionId: return sp_.GetTransId();
    case kRevisionId: return sp_.GetRevId();
    case kUPNumber: return up_.GetNumber();
    case kUPTransactionId: return up_.GetTransId();
    default: return 0;
  }
}

bool FullVersion::Set(int field, int value) {
  switch (field) {
    case kRelease: sp_.SetRelease(value); return true;
    case kBuild: sp_.SetBuild(value); return true;
    case kSPMajor: sp_.SetMajor(value); return true;
    case kSPMinor: return sp_.SetMinor(value);
    case kTransactionId: sp_.SetTransId(value); return true;
    case kRevisionId: sp_.SetRevId(value); return true;
    case kUPNumber: up_.SetNumber(value); return true;
    case kUPTransactionId: up_.SetTransId(value); return true;
    default: return false;
  }
}

std::string FullVersion::GetStr(int field) const {
  switch (field) {
    case kSPMinor: return sp_.GetMinorStr();
    case kSPName: return sp_.GetSPName();
    case kCUName: return sp_.GetCUName();
    case kUPFriendlyName: return up_.GetFriendlyName();
    default: return IsNumericField(field) ? std::to_string(Get(field)) : std::string();
  }
}

bool FullVersion::SetStr(int field, const std::string& text) {
  switch (field) {
    case kSPMinor: {
      if (text.empty()) return sp_.SetMinor(0);
      if (text.size() != 1) return false;
      return sp_.SetMinor(static_cast<unsigned char>(text[0]));
    }
    case kSPName: return _SPVersion::ParseSPName(text, &sp_);
    case kCUName: sp_.SetCUName(text); return true;
    case kUPFriendlyName: up_.SetFriendlyName(text); return true;
    default: {
      if (!IsNumericField(field)) return false;
      Scanner s(text);
      int value = 0;
      return s.Number(&value) && s.Done() && Set(field, value);
    }
  }
}

std::string FullVersion::formatted_str(int format) const {
  const std::string rb =
      "V" + std::to_string(sp_.GetRelease()) + "B" + std::to_string(sp_.GetBuild()) + "_";
  const std::string cu = "CU" + std::to_string(up_.GetNumber());
  const std::string upTrans = std::to_string(up_.GetTransId());
  switch (format) {
    case kFormatDisplay: return std::to_string(sp_.GetRelease()) + ".0.0 " + sp_.ToStr(true);
    case kFormatSPName: return sp_.ToStr(true);
    case kFormatSPFolder: return sp_.getSPFolderNameStr();
    case kFormatSide: return rb + sp_.getSPFolderNameStr() + "_" + cu;
    case kFormatMedia: return rb + sp_.getSPFolderNameStr();
    case kFormatFull: return sp_.getSPFolderNameStr() + "_" + cu + "_" + upTrans;
    case kFormatUPTransaction: return cu + "_" + upTrans;
    case kFormatSPTransaction: return sp_.ToStr(true) + "_" + std::to_string(sp_.GetTransId());
    default: return std::string();
  }
}

bool FullVersion::set_formatted_str(int format, const std::string& text) {
  Scanner s(text);
  Parsed p;
  // Which fields the form carries.
  bool rel = false, build = false, sp = false, trans = false, rev = false, upNum = false,
       upTrans = false;
  bool ok = false;
  switch (format) {
    case kFormatDisplay:
      ok = s.Number(&p.release) && s.Literal(".0.0 ") && ScanSPName(s, p);
      rel = sp = true;
      break;
    case kFormatSPName:
      ok = s.SPName(false, &p.sp, &p.spName);  // alone, the minor runs to the end
      sp = true;
      break;
    case kFormatSPFolder:
      ok = ScanSPFolder(s, p);
      sp = trans = rev = true;
      break;
    case kFormatSide:
      ok = ScanReleaseBuild(s, p) && ScanSPFolder(s, p) && s.Literal("_CU") &&
           s.Number(&p.upNumber);
      rel = build = sp = trans = rev = upNum = true;
      break;
    case kFormatMedia:
      ok = ScanReleaseBuild(s, p) && ScanSPFolder(s, p);
      rel = build = sp = trans = rev = true;
      break;
    case kFormatFull:
      ok = ScanSPFolder(s, p) && s.Literal("_CU") && s.Number(&p.upNumber) && s.Literal("_") &&
           s.Number(&p.upTrans);
      sp = trans = rev = upNum = upTrans = true;
      break;
    case kFormatUPTransaction:
      if (text.compare(0, 2, "CU") == 0) {
        ok = s.Literal("CU") && s.Number(&p.upNumber) && s.Literal("_") && s.Number(&p.upTrans);
        upNum = true;
      } else {
        ok = s.Number(&p.upTrans);
      }
      upTrans = true;
      break;
    case kFormatSPTransaction:
      if (text.compare(0, 2, "SP") == 0) {
        ok = ScanSPName(s, p) && s.Literal("_") && s.Number(&p.trans);
        sp = true;
      } else {
        ok = s.Number(&p.trans);
      }
      trans = true;
      break;
    default:
      return false;
  }
  if (!ok || !s.Done()) return false;

  if (rel) sp_.SetRelease(p.release);
  if (build) sp_.SetBuild(p.build);
  if (sp) sp_.SetSPNumber(_SPVersion::FromName(p.sp, p.spName));
  if (trans) sp_.SetTransId(p.trans);
  if (rev) sp_.SetRevId(p.rev);
  if (upNum) up_.SetNumber(p.upNumber);
  if (upTrans) up_.SetTransId(p.upTrans);
  return true;
}

int FullVersion::Compare(int type, const FullVersion& a, const FullVersion& b) {
  size_t count;
  switch (type) {
    case kCompareLevel: count = 4; break;
    case kCompareMedia: count = 6; break;
    default: count = 7; break;  // kCompareMediaWithUP and unknown kinds
  }
  static const int kOrder[] = {kRelease, kBuild, kSPMajor, kSPMinor, kTransactionId, kRevisionId,
                               kUPNumber};
  for (size_t i = 0; i < count; ++i) {
    const int d = kOrder[i] == kSPMinor
                      ? _SPVersion::CompareMinor(a.sp_, b.sp_)
                      : Sign(static_cast<long long>(a.Get(kOrder[i])) - b.Get(kOrder[i]));
    if (d != 0) return d;
  }
  return 0;
}

bool FullVersion::operator==(const FullVersion& o) const {
  return _SPVersion::Compare(sp_, o.sp_) == 0 && sp_.GetSPName() == o.sp_.GetSPName() &&
         sp_.GetCUName() == o.sp_.GetCUName() &&
         up_.GetNumber() == o.up_.GetNumber() && up_.GetTransId() == o.up_.GetTransId() &&
         up_.GetFriendlyName() == o.up_.GetFriendlyName();
}
