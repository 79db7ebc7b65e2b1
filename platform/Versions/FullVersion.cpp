#include "Versions/FullVersion.h"

#include <climits>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsValidMinor(int v) { return v == 0 || (v > 0 && v < 128 && IsLetter(static_cast<char>(v))); }

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

  // An optional service-pack minor letter (0 when none follows).
  void Minor(int* out) {
    *out = 0;
    if (pos_ < text_.size() && IsLetter(text_[pos_])) *out = text_[pos_++];
  }

  bool Done() const { return pos_ == text_.size(); }

 private:
  const std::string& text_;
  size_t pos_;
};

std::string MinorStr(int minor) {
  return minor == 0 ? std::string() : std::string(1, static_cast<char>(minor));
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
  int release = 0, build = 0, major = 0, minor = 0, trans = 0, rev = 0, upNumber = 0, upTrans = 0;
};

// "SP" <major> [<minor>]
bool ScanSPName(Scanner& s, Parsed& p) {
  if (!s.Literal("SP") || !s.Number(&p.major)) return false;
  s.Minor(&p.minor);
  return true;
}

// "SP" <major> [<minor>] "_" <trans> "_R" <rev>
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

bool _SPVersion::SetSPName(const std::string& name) { return ParseSPName(Trim(name), this); }

std::string _SPVersion::ToStr(bool withPrefix) const {
  return (withPrefix ? "SP" : "") + std::to_string(major_) + MinorStr(minor_);
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
  return true;
}

int _SPVersion::Compare(const _SPVersion& a, const _SPVersion& b) {
  const int ka[] = {a.release_, a.build_, a.major_, a.minor_, a.transId_, a.revId_};
  const int kb[] = {b.release_, b.build_, b.major_, b.minor_, b.transId_, b.revId_};
  for (size_t i = 0; i < sizeof(ka) / sizeof(ka[0]); ++i) {
    if (ka[i] != kb[i]) return ka[i] < kb[i] ? -1 : 1;
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
    case kSPMinor: return MinorStr(sp_.GetMinor());
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
      ok = ScanSPName(s, p);
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
  if (sp) {
    sp_.SetMajor(p.major);
    sp_.SetMinor(p.minor);
  }
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
    int d = Sign(static_cast<long long>(a.Get(kOrder[i])) - b.Get(kOrder[i]));
    if (d != 0) return d;
  }
  return 0;
}

bool FullVersion::operator==(const FullVersion& o) const {
  return _SPVersion::Compare(sp_, o.sp_) == 0 && sp_.GetCUName() == o.sp_.GetCUName() &&
         up_.GetNumber() == o.up_.GetNumber() && up_.GetTransId() == o.up_.GetTransId() &&
         up_.GetFriendlyName() == o.up_.GetFriendlyName();
}
