// Version records of the product: a feature release (service pack) with its recut stamps,
// an update pack (maintenance release), and the full version that joins both.
//
// Every text form of a version is defined here, once. Folder names in the software cache and
// lock paths are built from these texts, so they are path-safe (no '/', no "..", no blanks
// except in the display form 1) and every form parses back to the fields it carries.
//
// Numbers in all text forms are canonical decimal 32-bit signed integers: "0", or an optional
// "-" and a digit 1-9 followed by digits. Leading zeros, "+", blanks, and values outside the
// 32-bit range are refused (the parse returns false and leaves its target untouched).
// A service-pack minor is one ASCII letter kept as written ("SP12a", "SP12A"), or none.
//
// Value types: copy and assign freely. Nothing here throws, logs or touches the disk.

#ifndef KQ_PLATFORM_VERSIONS_FULLVERSION_H_
#define KQ_PLATFORM_VERSIONS_FULLVERSION_H_

#include <string>

class FullVersion;

// A feature release (service pack): release, build, service-pack major and minor, the
// cumulative-update name it was shipped with, and the two recut stamps (transaction id and
// revision id). Major 0 means "no feature release"; major -1 marks "none recorded" in
// inventories. Ordering (==, <, >, ...) compares release, build, major, minor, transaction id
// and revision id in that order; the cumulative-update name is a label and takes no part.
class _SPVersion {
 public:
  _SPVersion();  // all numbers 0, no minor, empty name
  // Numbers directly; `minor` is 0 (none) or the character code of an ASCII letter
  // (any other value is stored as none).        _SPVersion(20, 0, 4711, 3)
  explicit _SPVersion(int major, int minor = 0, int transId = 0, int revId = 0);
  // From a service-pack name such as "SP20" or "SP12a" (blanks, tabs, CR and LF around it are
  // ignored), a cumulative-update name, the build and the two recut stamps. A name that is not
  // a service-pack name leaves major 0 and no minor (use ParseSPName to see the failure).
  //                                           _SPVersion("SP20", "", 0, 4711, 3)
  _SPVersion(const std::string& spName, const std::string& cuName, int build, int transId,
             int revId);
  // The feature-release part of a full version.
  explicit _SPVersion(const FullVersion& version);

  // Parses a service-pack name "SP" <major> [<letter>] into major and minor of `out`
  // (its other fields stay). False, `out` untouched, for anything else.  "SP12a" -> 12, 'a'
  static bool ParseSPName(const std::string& name, _SPVersion* out);
  // The same on this record, ignoring blanks around the name; false leaves it untouched.
  bool SetSPName(const std::string& name);

  // Text forms.
  // ToStr(false): major and minor, the text after "SP" in folder names:     "20", "12a", "-1"
  // ToStr(true):  the service-pack name:                                    "SP20", "SP12a"
  std::string ToStr(bool withPrefix) const;
  std::string GetSPName() const { return ToStr(true); }  // "SP20"
  std::string getMajorStr() const;                       // "20"
  // Name of a recut feature-release folder: name, "_", transaction id, "_R", revision id.
  //                                                                    "SP20_4711_R3"
  std::string getSPFolderNameStr() const;
  // Parses a recut folder name back (major, minor, transaction id, revision id); false and
  // `out` untouched for anything else.
  static bool ParseSPFolderName(const std::string& name, _SPVersion* out);

  int GetRelease() const { return release_; }
  int GetBuild() const { return build_; }
  int GetMajor() const { return major_; }
  int GetMinor() const { return minor_; }  // 0, or the letter's character code
  int GetTransId() const { return transId_; }
  int GetRevId() const { return revId_; }
  const std::string& GetCUName() const { return cuName_; }

  void SetRelease(int v) { release_ = v; }
  void SetBuild(int v) { build_ = v; }
  void SetMajor(int v) { major_ = v; }
  bool SetMinor(int v);  // false (unchanged) unless 0 or an ASCII letter's code
  void SetTransId(int v) { transId_ = v; }
  void SetRevId(int v) { revId_ = v; }
  void SetCUName(const std::string& v) { cuName_ = v; }

  // Three-way comparison by the ordering above: -1, 0 or 1.
  static int Compare(const _SPVersion& a, const _SPVersion& b);
  bool operator==(const _SPVersion& o) const { return Compare(*this, o) == 0; }
  bool operator!=(const _SPVersion& o) const { return Compare(*this, o) != 0; }
  bool operator<(const _SPVersion& o) const { return Compare(*this, o) < 0; }
  bool operator>(const _SPVersion& o) const { return Compare(*this, o) > 0; }
  bool operator<=(const _SPVersion& o) const { return Compare(*this, o) <= 0; }
  bool operator>=(const _SPVersion& o) const { return Compare(*this, o) >= 0; }

 private:
  int release_;
  int build_;
  int major_;
  int minor_;  // 0 or an ASCII letter
  int transId_;
  int revId_;
  std::string cuName_;
};

// An update pack (cumulative update, maintenance release): its number, its own transaction id
// and its friendly name. Number 0 means none.
class _UPVersion {
 public:
  explicit _UPVersion(int number = 0, int transId = 0, const std::string& friendlyName = "")
      : number_(number), transId_(transId), friendlyName_(friendlyName) {}

  int GetNumber() const { return number_; }
  int GetTransId() const { return transId_; }
  const std::string& GetFriendlyName() const { return friendlyName_; }
  void SetNumber(int v) { number_ = v; }
  void SetTransId(int v) { transId_ = v; }
  void SetFriendlyName(const std::string& v) { friendlyName_ = v; }

 private:
  int number_;
  int transId_;
  std::string friendlyName_;
};

// A full version: a feature release and an update pack. Fields are addressed by number
// (Get, Set, GetStr, SetStr):
//   0 release          "11"     4 service-pack name  "SP20a" (text form of 2 and 3)
//   1 build            "80"     5 transaction id     "4711"
//   2 service-pack major "20"   6 revision id        "3"
//   3 service-pack minor "a" or ""  (numeric: 0 or the letter's code)
//   7 cumulative-update name (text)     8 update-pack number          "2"
//   9 update-pack transaction id "5120" 10 update-pack friendly name (text)
// A default-constructed version is empty: every number 0, every text empty.
class FullVersion {
 public:
  enum Field {
    kRelease = 0,
    kBuild = 1,
    kSPMajor = 2,
    kSPMinor = 3,
    kSPName = 4,
    kTransactionId = 5,
    kRevisionId = 6,
    kCUName = 7,
    kUPNumber = 8,
    kUPTransactionId = 9,
    kUPFriendlyName = 10,
  };

  // Comparison kinds of Compare. Each compares the listed fields in order, numerically
  // (the minor by its character code, none first); texts never take part.
  enum CompareType {
    kCompareLevel = 0,        // release, build, major, minor
    kCompareMedia = 1,        // ... and transaction id, revision id
    kCompareMediaWithUP = 3,  // ... and update-pack number (orders retrieval sides)
  };

  // The text forms of formatted_str and set_formatted_str. Examples are for release 11,
  // build 80, SP20 (no minor), transaction id 4711, revision 3, update pack 2 with
  // transaction id 5120. Each form carries exactly the fields it shows; parsing it sets those
  // fields and leaves the others as they were.
  enum Format {
    kFormatDisplay = 1,    // "11.0.0 SP20"              release, major, minor (for users)
    kFormatSPName = 2,     // "SP20"                     major, minor (folder name, = ToStr(true))
    kFormatSPFolder = 3,   // "SP20_4711_R3"             + transaction id, revision (recut folder)
    kFormatSide = 4,       // "V11B80_SP20_4711_R3_CU2"  everything Compare kind 3 looks at
                           //                            (lock folders, side texts)
    kFormatMedia = 5,      // "V11B80_SP20_4711_R3"      everything Compare kind 1 looks at
    kFormatFull = 6,       // "SP20_4711_R3_CU2_5120"    feature release and update pack (logs)
    kFormatUPTransaction = 7,  // "CU2_5120"             update-pack number and transaction id;
                               //  also read: a bare "5120" sets the transaction id alone
    kFormatSPTransaction = 8,  // "SP20_4711"            major, minor, transaction id;
                               //  also read: a bare "4711" sets the transaction id alone
  };

  FullVersion() = default;
  explicit FullVersion(const _SPVersion& sp) : sp_(sp) {}
  FullVersion(const _SPVersion& sp, const _UPVersion& up) : sp_(sp), up_(up) {}

  const _SPVersion& GetSPVersion() const { return sp_; }
  const _UPVersion& GetUPVersion() const { return up_; }
  void SetSPVersion(const _SPVersion& sp) { sp_ = sp; }
  void SetUPVersion(const _UPVersion& up) { up_ = up; }

  // Numeric fields; Get of a text field (4, 7, 10) or an unknown field gives 0.
  int Get(int field) const;
  // False (nothing changed) for a text field, an unknown field, or a minor that is neither
  // 0 nor an ASCII letter's code.
  bool Set(int field, int value);
  // Text of any field, as in the table above; "" for an unknown field.
  std::string GetStr(int field) const;
  // Parses the text of a field back (a canonical number for numeric fields, a letter or ""
  // for the minor, a service-pack name for field 4, any text for 7 and 10). False and
  // nothing changed when the text does not fit the field or the field is unknown.
  bool SetStr(int field, const std::string& text);

  // The text of a form ("" for an unknown format).
  std::string formatted_str(int format) const;
  // Parses a form back into the fields it carries. False, nothing changed, when the text is
  // malformed, a number overflows, or the format is unknown.
  bool set_formatted_str(int format, const std::string& text);

  // Three-way comparison of a and b by a CompareType: negative, 0 or positive (-1, 0, 1).
  // An unknown type compares as kCompareMediaWithUP, the strictest kind.
  static int Compare(int type, const FullVersion& a, const FullVersion& b);

  // Every field equal, texts included.
  bool operator==(const FullVersion& o) const;
  bool operator!=(const FullVersion& o) const { return !(*this == o); }

 private:
  _SPVersion sp_;
  _UPVersion up_;
};

#endif  // KQ_PLATFORM_VERSIONS_FULLVERSION_H_
