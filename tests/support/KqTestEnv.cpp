#include "KqTestEnv.h"

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "Configuration/KQPlatformInfo.h"
#include "Logging/EvDebug.h"

namespace kqtest {

namespace {
int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

void MakeParents(const std::string& path) {
  for (size_t pos = 1; pos < path.size(); ++pos)
    if (path[pos] == '/') ::mkdir(path.substr(0, pos).c_str(), 0755);
}
}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kqtest.XXXXXX";
  if (!::mkdtemp(&tmpl[0])) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  // Depth-first, physical walk: a symbolic link is removed, never followed.
  ::nftw(path_.c_str(), RemoveEntry, 32, FTW_DEPTH | FTW_PHYS);
}

ScopedConfig::ScopedConfig() {
  const char* prev = std::getenv("KQ_CONFIG");
  if (prev) {
    hadPrevious_ = true;
    previous_ = prev;
  }
  configPath_ = dir_.path() + "/config.ini";
  WriteFile(configPath_, "[Logging]\nnDebugLevel=10\ndLogFolder=" + logFolder() + "\n");
  ::setenv("KQ_CONFIG", configPath_.c_str(), 1);
  EvDebug().GetDebugLevel();  // the logger's filter follows the new store from the next line on
}

ScopedConfig::~ScopedConfig() {
  if (hadPrevious_)
    ::setenv("KQ_CONFIG", previous_.c_str(), 1);
  else
    ::unsetenv("KQ_CONFIG");
  EvDebug().GetDebugLevel();
}

void ScopedConfig::set(const std::string& section, const std::string& name,
                       const std::string& value) {
  if (!KQPlatformInfo().setString(section, name, value))
    throw std::runtime_error("cannot write test configuration");
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  MakeParents(path);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::map<std::string, std::string> TreeManifest(const std::string& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const fs::path& p = it->path();
    std::string what;
    if (fs::is_symlink(fs::symlink_status(p))) what = "link:" + fs::read_symlink(p).string();
    else if (fs::is_directory(p)) what = "dir";
    else what = "file:" + ReadFile(p.string());
    out[p.string()] = what;
  }
  return out;
}

std::vector<std::string> LogTexts(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    if (entry.path().extension() == ".log") names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  std::vector<std::string> lines;
  for (const std::string& name : names) {
    std::istringstream in(ReadFile(folder + "/" + name));
    for (std::string line; std::getline(in, line);) {
      // "<date> <time> <pid> <tid> L<level> ...": the four fields end at the fourth space.
      size_t at = 0;
      for (int field = 0; field < 4 && at != std::string::npos; ++field) {
        at = line.find(' ', at);
        if (at != std::string::npos) ++at;
      }
      lines.push_back(name + ": " + (at == std::string::npos ? line : line.substr(at)));
    }
  }
  return lines;
}

}  // namespace kqtest
