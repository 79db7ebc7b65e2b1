// Version records of the product: a feature release (service pack) with its recut stamps,
// an update pack (maintenance release), and the full version that joins both.
//
// Every text form of a version is defined here, once. Folder names in the software cache and
// lock paths are built from these texts, and every form parses back to the fields it carries.
//
// A service-pack name is "SP", then its major part (a run of decimal digits, possibly empty),
// then its minor part (everything from the first non-digit on, possibly empty); see
// ReadServicePackName for the whole grammar. The name validator of the cache and this parser
// share that grammar, except that the validator accepts a major part too large for the
// version's number (each part may hold 32 characters), which the parser refuses. A version read from a name keeps the name as written ("SP01", "SP5ab") and prints
// it back that way, so a folder found by name is found again by the version's text.
//
// Other numbers in the text forms are canonical decimal 32-bit signed integers: "0", or an
// optional "-" and a digit 1-9 followed by digits. Leading zeros, "+", blanks, and values
// outside the 32-bit range are refused (the parse returns false and leaves its target
// untouched).
//
// Value types: copy and assign freely. Nothing here throws, logs or touches the disk.

#ifndef KQ_PLATFORM_VERSIONS_FULLVERSION_H_
#define KQ_PLATFORM_VERSIONS_FULLVERSION_H_

#pragma GCC visibility push(default)

#include <cstddef>
#include <string>

class FullVersion;

// Why a text is not a service-pack name; kSPNameOk when it is.
enum SPNameCheck {
  kSPNameOk = 0,
  kSPNameBadPrefix,      // does not begin with "SP"
  kSPNamePartTooLong,    // a major or minor part of more than 32 bytes
  kSPNameBadMinor,       // a path separator ('/' or '\\') in the minor part
  kSPNameBadMajor,       // a major part of exactly "0"
  kSPNameMajorTooLarge,  // a major part above the 32-bit range
};

// The parts of a service-pack name as ReadServicePackName finds them.
struct SPNameParts {
  int major = 0;         // value of the digit run; 0 when it is empty ("SPa")
  std::size_t majorLength = 0;  // bytes of the digit run as written ("SP01": 2)
  std::string minor;     // the minor part as written ("SP5ab": "ab"), may be empty
};

// The grammar of a service-pack name over the first `length` bytes of text: "SP", a major part
// of at most 32 decimal digits other than exactly "0" whose value fits a 32-bit signed integer
// ("00" and "01" are fine), and a minor part of at most 32 bytes that starts at the first
// non-digit and holds no '/' or '\\'. Checks run left to right and the first failure is the
// result; `parts` (may be null) is filled only on kSPNameOk. Minimum lengths are the caller's.
SPNameCheck ReadServicePackName(const char* text, std::size_t length, SPNameParts* parts);

// A feature release (service pack): release, build, service-pack major and minor, the
// cumulative-update name it was shipped with, and the two recut stamps (transaction id and
// revision id). Major 0 means "no feature release"; major -1 marks "none recorded" in
// inventories: a number set by code, never read from a text (the text "SP-1" is the name with
// no major and the minor "-1", in every form, so such a record does not print back).
// The minor is one character: the first byte of the name's minor part (0 when it has none);
// the rest of a longer minor part ("SP5ab") lives in the name as written. Ordering (==, <, >,
// ...) compares release, build, major, the whole minor part (bytewise, none first),
// transaction id and revision id in that order; how the major was written ("SP01" or "SP1")
// and the cumulative-update name take no part.
class _SPVersion {
 public:
  _SPVersion();  // all numbers 0, no minor, empty name
  // Numbers directly; `minor` is 0 (none) or the code (1-255) of a byte that may start a
  // minor part (any other value is stored as none).        _SPVersion(20, 0, 4711, 3)
  explicit _SPVersion(int major, int minor = 0, int transId = 0, int revId = 0);
  // From a service-pack name such as "SP20", "SP12a" or "SP01" (blanks, tabs, CR and LF around
  // it are ignored), a cumulative-update name, the build and the two recut stamps. A name that
  // is not a service-pack name leaves major 0 and no minor (use ParseSPName to see the failure).
  //                                           _SPVersion("SP20", "", 0, 4711, 3)
  _SPVersion(const std::string& spName, const std::string& cuName, int build, int transId,
             int revId);
  // The feature-release part of a full version.
  explicit _SPVersion(const FullVersion& version);

  // Parses a service-pack name of at least 3 bytes (ReadServicePackName) into the major, minor
  // and written name of `out` (its other fields stay). False, `out` untouched, for anything
  // else.              "SP12a" -> 12, 'a';  "SP01" -> 1;  "SPa" -> 0, 'a';  "SP5ab" -> 5, 'a'
  static bool ParseSPName(const std::string& name, _SPVersion* out);
  // The same on this record, ignoring blanks around the name; false leaves it untouched.
  bool SetSPName(const std::string& name);

  // Takes the service-pack number of `from` (major, minor and the name they were read from);
  // the other fields stay.
  void SetSPNumber(const _SPVersion& from);

  // Text forms: the name as read when the number came from a name, else built from the numbers.
  // ToStr(false): major and minor, the text after "SP" in folder names:  "20", "12a", "01", "-1"
  // ToStr(true):  the service-pack name:                                 "SP20", "SP12a", "SP01"
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
  int GetMinor() const { return minor_; }  // 0, or the minor part's first byte (1-255)
  std::string GetMinorStr() const;          // the whole minor part: "", "a", "ab"
  int GetTransId() const { return transId_; }
  int GetRevId() const { return revId_; }
  const std::string& GetCUName() const { return cuName_; }

  void SetRelease(int v) { release_ = v; }
  void SetBuild(int v) { build_ = v; }
  // Setting the major or the minor drops the name as written (the numbers print canonically).
  void SetMajor(int v) {
    major_ = v;
    spName_.clear();
  }
  bool SetMinor(int v);  // false (unchanged) unless 0 or a byte that may start a minor part
  void SetTransId(int v) { transId_ = v; }
  void SetRevId(int v) { revId_ = v; }
  void SetCUName(const std::string& v) { cuName_ = v; }

  // Three-way comparison by the ordering above: -1, 0 or 1.
  static int Compare(const _SPVersion& a, const _SPVersion& b);
  // The same for the minor parts alone.
  static int CompareMinor(const _SPVersion& a, const _SPVersion& b);
  bool operator==(const _SPVersion& o) const { return Compare(*this, o) == 0; }
  bool operator!=(const _SPVersion& o) const { return Compare(*this, o) != 0; }
  bool operator<(const _SPVersion& o) const { return Compare(*this, o) < 0; }
  bool operator>(const _SPVersion& o) const { return Compare(*this, o) > 0; }
  bool operator<=(const _SPVersion& o) const { return Compare(*this, o) <= 0; }
  bool operator>=(const _SPVersion& o) const { return Compare(*this, o) >= 0; }

 private:
  friend class FullVersion;
  // The number of a name that ReadServicePackName accepted.
  static _SPVersion FromName(const SPNameParts& parts, const std::string& name);

  int release_;
  int build_;
  int major_;
  int minor_;  // 0 or the first byte of the minor part
  int transId_;
  int revId_;
  std::string cuName_;
  std::string spName_;  // the service-pack name as read; empty when set by number
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
//   3 service-pack minor "a" or ""  (numeric: 0 or its first byte)
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
  // (the minor as _SPVersion orders it); texts never take part.
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
  // Parses the text of a field back (a canonical number for numeric fields, one byte or ""
  // for the minor (a longer minor comes with the name, field 4), a service-pack name for
  // field 4, any text for 7 and 10). False and nothing changed when the text does not fit the
  // field or the field is unknown.
  bool SetStr(int field, const std::string& text);

  // The text of a form ("" for an unknown format).
  std::string formatted_str(int format) const;
  // Parses a form back into the fields it carries. False, nothing changed, when the text is
  // malformed, a number overflows, or the format is unknown.
  bool set_formatted_str(int format, const std::string& text);

  // Three-way comparison of a and b by a CompareType: negative, 0 or positive (-1, 0, 1).
  // An unknown type compares as kCompareMediaWithUP, the strictest kind.
  static int Compare(int type, const FullVersion& a, const FullVersion& b);

  // Every field equal, texts included (the service-pack name as it prints).
  bool operator==(const FullVersion& o) const;
  bool operator!=(const FullVersion& o) const { return !(*this == o); }

 private:
  _SPVersion sp_;
  _UPVersion up_;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_VERSIONS_FULLVERSION_H_
