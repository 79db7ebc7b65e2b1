// IniStore: the configuration store behind KQPlatformInfo and friends.
//
// One INI-style file per product instance:
//
//   rootValue=1            ; values before any [section] belong to the root section ""
//   [Base]
//   dHOME=/opt/product
//
// Sections and value names compare case-insensitively; values keep their bytes (one trailing
// carriage return is dropped, so CR-LF files read the same). The file is read when a value is
// used: a cached parse is reused only while the file's identity (inode, size, modification time)
// is unchanged. Writers take an exclusive flock on "<file>.lock" (0600, waited for at most
// SetLockWait's limit), rewrite the whole file into a new file beside it (an unpredictable name,
// never through a link, with the old file's owner and mode, 0600 for a new store) and rename it
// into place, so a reader sees either the old or the new file, never half of one. The store's
// folder must be an absolute path, owned by this user or root and writable by nobody else
// (Configuration/StateFolders.h); a write into any other is refused.
#ifndef KQ_PLATFORM_CONFIGURATION_INISTORE_H_
#define KQ_PLATFORM_CONFIGURATION_INISTORE_H_

#pragma GCC visibility push(default)

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kqconfig {

// Case-insensitive ordering for section and value names.
struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

// One parsed file: sections in file order, values in file order within each section.
struct IniData {
  struct Section {
    std::string name;                                   // as written
    std::vector<std::pair<std::string, std::string>> values;
  };
  std::vector<Section> sections;                        // sections[0] is the root section ""
  // Set (and `sections` empty) when the store exists but was refused: why, naming the store.
  // Empty for a store read, and for an absent one (its defaults apply).
  std::string refused;

  const std::string* find(const std::string& section, const std::string& name) const;
  Section* findSection(const std::string& section);
  const Section* findSection(const std::string& section) const;
  void set(const std::string& section, const std::string& name, const std::string& value);
  bool erase(const std::string& section, const std::string& name);
  std::string serialize() const;
  static IniData parse(const std::string& text);
};

// The store of one file. Thread-safe; safe across processes as described above.
class IniStore {
 public:
  explicit IniStore(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }

  // The current contents; an empty store when the file or its folder is missing: the walk from
  // "/" reaches a real folder that lacks the next name. A store that exists but is refused (a
  // level of its folder untrusted, a link on the way or at the file that leads nowhere, another
  // user's file, a file others may write, not a regular file, unreadable) gives an empty store
  // whose `refused` says why, told once on stderr: what it configures must not fall back to an
  // absent store's defaults. *readable (when given) tells whether the file could be read.
  std::shared_ptr<const IniData> snapshot(bool* readable = nullptr) const;

  bool get(const std::string& section, const std::string& name, std::string& value) const;
  bool set(const std::string& section, const std::string& name, const std::string& value);
  bool erase(const std::string& section, const std::string& name);

  // The store that $KQ_CONFIG names (default "/etc/kqpatches/config.ini"), resolved on each call so
  // that a program (or a test) may point it elsewhere.
  static IniStore& Default();
  static std::string DefaultPath();
  // True when the default store exists but is refused now, with the reason (naming the store)
  // in `why`. Whatever takes a folder, a lock or a database from the store asks this first.
  static bool DefaultRefused(std::string& why);
  // Counts the writes of this process to any store: a reader that kept what it read may keep
  // using it while the count is unchanged and no other process wrote meanwhile.
  static unsigned long long Generation();

  // The longest wait of a write for another writer's lock: kDefaultLockWaitMs unless a host (or
  // a test) asks for less; a negative or longer wait gives the default. A write that waited so
  // long fails with a log line.
  static constexpr long long kDefaultLockWaitMs = 30000;
  static void SetLockWait(long long waitMs);

 private:
  template <class Edit>
  bool update(Edit edit);

  std::string path_;
};

}  // namespace kqconfig

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_CONFIGURATION_INISTORE_H_
