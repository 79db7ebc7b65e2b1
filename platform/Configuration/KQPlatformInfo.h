// KQPlatformInfo: reads and writes values of this product instance's configuration store.
//
// A value is found by a section and a name ("UpdateFlags"/"nThreadPoolSizeCheck"); the root
// section is "". A getter returns true when the value exists, even when it is empty, and false
// when it is missing or the store cannot be read, leaving its output untouched. Every call reads
// the store as it is now (see IniStore). Objects are cheap values; make one where needed.
#ifndef KQ_PLATFORM_CONFIGURATION_KQPLATFORMINFO_H_
#define KQ_PLATFORM_CONFIGURATION_KQPLATFORMINFO_H_

#pragma GCC visibility push(default)

#include <map>
#include <string>

class KQPlatformInfo {
 public:
  KQPlatformInfo() = default;

  bool getString(const std::string& section, const std::string& name, std::string& value) const;
  // Numbers are read with base 0 ("0x1F", "017", "31"); a text that is not wholly a number, or
  // does not fit the output, counts as unreadable (false, output untouched).
  bool getNumber(const std::string& section, const std::string& name, long long& value) const;
  bool getNumber(const std::string& section, const std::string& name, unsigned long& value) const;
  bool getNumber(const std::string& section, const std::string& name, long& value) const;
  bool getNumber(const std::string& section, const std::string& name, int& value) const;
  bool getNumber(const std::string& section, const std::string& name, unsigned int& value) const;

  bool setString(const std::string& section, const std::string& name, const std::string& value);
  bool setNumber(const std::string& section, const std::string& name, long long value);
  bool deleteValue(const std::string& section, const std::string& name);

  // All values of one section (names as written); false when the section does not exist.
  bool getRegValues(const std::string& section, std::map<std::string, std::string>& values) const;

  // Reads a value under an absolute key of the form
  // "SOFTWARE\<maker>\<product>\<instance>[\<section>...]" ('/' also separates). Keys of this
  // instance map onto its store: the instance key itself is the root section, deeper keys name
  // the section by the rest of the path joined with '\'. Keys of another instance give false.
  bool getRegStringFromAbsPath(const std::string& absKey, const std::string& name,
                               std::string& value) const;

  // The platform type bits of this installation (root value "nPlatformType"), 0 when absent.
  int getKQPlatformType() const;

  // The store's file (from $KQ_CONFIG, default "/etc/kqpatches/config.ini").
  static std::string storePath();
};

// Parses a whole configuration number with base 0; false on junk, overflow or an empty text.
bool KqParseConfigNumber(const std::string& text, long long& value);

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_CONFIGURATION_KQPLATFORMINFO_H_
