// Test helpers shared by every test: temporary folders and a private configuration store.
#ifndef KQ_TESTS_SUPPORT_KQTESTENV_H_
#define KQ_TESTS_SUPPORT_KQTESTENV_H_

#include <map>
#include <string>
#include <vector>

namespace kqtest {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Points $KQ_CONFIG at a fresh store in a temporary folder, with the log folder beside it and
// the most verbose log level, for the object's life; restores the previous store at the end.
class ScopedConfig {
 public:
  ScopedConfig();
  ~ScopedConfig();
  ScopedConfig(const ScopedConfig&) = delete;
  ScopedConfig& operator=(const ScopedConfig&) = delete;

  void set(const std::string& section, const std::string& name, const std::string& value);
  const std::string& configPath() const { return configPath_; }
  std::string logFolder() const { return dir_.path() + "/logs"; }
  std::string logFile(const std::string& logName = "KqPatches") const {
    return logFolder() + "/" + logName + ".log";
  }
  // A folder for the test's own files (removed at the end).
  const std::string& root() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::string configPath_;
  std::string previous_;
  bool hadPrevious_ = false;
};

// Whole file as text; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Writes (replaces) a file, creating missing parent folders.
void WriteFile(const std::string& path, const std::string& text);
// Every entry below `root` (full path) with its kind, contents and link target ("dir",
// "file:<text>", "link:<target>"): a whole-tree fingerprint; links are not followed.
std::map<std::string, std::string> TreeManifest(const std::string& root);
// The lines of every log in `folder` (logs in bytewise order of their names), each without its
// date, time, process and thread, so that the logs of two runs can be compared.
std::vector<std::string> LogTexts(const std::string& folder);

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_KQTESTENV_H_
