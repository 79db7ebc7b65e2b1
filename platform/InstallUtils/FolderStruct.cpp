// The folder-structure reader over a cache hierarchy message.
#include <cstring>
#include <iterator>
#include <vector>

#include "InstallUtils/IFolderStruct.h"
#include "MediaAccess/UrlText.h"
#include "PortableFiles/SafePath.h"

namespace KQInstallCommonUtils {

namespace {

const unsigned int kInvalidArg = 0x80000008u;
const unsigned int kNotBuilt = 0x80000021u;

// One folder name: not empty, no separator, not "." or "..".
bool IsOneFolderName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string::npos && name.find('\0') == std::string::npos;
}

bool IsWindowsName(const std::string& os) { return os.size() >= 3 && strncasecmp(os.c_str(), "win", 3) == 0; }

std::string PayloadOf(const std::string& os) {
  if (!IsWindowsName(os)) return os;
  if (strcasecmp(os.c_str(), "Win32") == 0 || strcasecmp(os.c_str(), "Windows") == 0)
    return "BinaryPayload32";
  return "BinaryPayload";
}

// A text without any ".." component ("/" and "\" both separate).
bool HasNoParentStep(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    start = end + 1;
  }
  return true;
}

struct tFolder {
  std::string path;
  std::string fileName;
};

class CFolderStruct : public IFolderStruct {
 public:
  CFolderStruct(std::map<int, tFolder> folders, std::map<std::string, std::string> placeholders,
                std::string separator)
      : folders_(std::move(folders)),
        placeholders_(std::move(placeholders)),
        separator_(std::move(separator)) {
    // The root as paths start with it: without trailing separators, so none is doubled.
    mediaRoot_ = placeholders_["MEDIAROOT"];
    while (!mediaRoot_.empty() && (mediaRoot_.back() == '/' || mediaRoot_.back() == '\\'))
      mediaRoot_.pop_back();
  }

  std::string GetPath(int kind, const std::string& osName, const FullVersion& version,
                      int flag) const override {
    if (osName.empty()) return Expand(kind, nullptr, version, flag);
    if (!IsOneFolderName(osName)) return std::string();
    return Expand(kind, &osName, version, flag);
  }

  std::string GetFilePath(int kind, const std::string& fileName, const FullVersion& version,
                          int flag) const override {
    auto it = folders_.find(kind);
    if (it == folders_.end()) return std::string();
    const std::string& name = fileName.empty() ? it->second.fileName : fileName;
    if (!kq::IsSafeRelativeName(name)) return std::string();
    std::string folder = Expand(kind, nullptr, version, flag);
    if (folder.empty() && (flag & eRelativeToMediaRoot) == 0) return std::string();
    std::string file = name;
    if (separator_ != "/")
      for (char& c : file)
        if (c == '/' || c == '\\') c = separator_[0];
    return folder.empty() ? file : folder + separator_ + file;
  }

  const std::map<std::string, std::string>& GetPlaceHolderMap() const override {
    return placeholders_;
  }

 private:
  // The value of a token, or false when it has none here.
  bool Token(const std::string& token, const std::string* os, const FullVersion& version,
             std::string& value) const {
    if (token == "OS" || token == "PLATFORM" || token == "PAYLOAD") {
      if (os == nullptr) return false;
      value = token == "OS" ? *os : token == "PAYLOAD" ? PayloadOf(*os)
                                                         : (IsWindowsName(*os) ? "Windows" : "Unix");
      return true;
    }
    for (const tVersionPlaceholder& k : kVersionPlaceholders) {
      if (token == k.key && version.Get(k.field) != 0) {
        value = version.GetStr(k.field);
        return true;
      }
    }
    if (token == "MEDIAROOT") {
      value = mediaRoot_;
      return true;
    }
    auto it = placeholders_.find(token);
    if (it == placeholders_.end()) return false;
    value = it->second;
    return true;
  }

  // Expands pattern[pos, end) into out; false when a required token has no value. In an
  // optional part (`optional`), a token that is empty or "0" makes the part drop (`dropped`).
  bool ExpandRange(const std::string& pattern, size_t pos, size_t end, const std::string* os,
                   const FullVersion& version, bool optional, std::string& out,
                   bool& dropped) const {
    while (pos < end) {
      const char c = pattern[pos];
      if (c == '{') {
        const size_t close = pattern.find('}', pos);
        if (close == std::string::npos || close >= end) return false;
        std::string value;
        if (!Token(pattern.substr(pos + 1, close - pos - 1), os, version, value)) {
          if (!optional) return false;
          dropped = true;
          return true;
        }
        if (optional && (value.empty() || value == "0")) {
          dropped = true;
          return true;
        }
        out += value;
        pos = close + 1;
      } else if (c == '[' && !optional) {
        const size_t close = pattern.find(']', pos);
        if (close == std::string::npos || close >= end) return false;
        std::string part;
        bool partDropped = false;
        if (!ExpandRange(pattern, pos + 1, close, os, version, true, part, partDropped))
          return false;
        if (!partDropped) out += part;
        pos = close + 1;
      } else {
        out += c == '/' ? separator_ : std::string(1, c);
        ++pos;
      }
    }
    return true;
  }

  std::string Expand(int kind, const std::string* os, const FullVersion& version,
                     int flag) const {
    auto it = folders_.find(kind);
    if (it == folders_.end()) return std::string();
    std::string pattern = it->second.path;
    static const char kRoot[] = "{MEDIAROOT}";
    if (flag & eRelativeToMediaRoot) {
      if (pattern.compare(0, sizeof(kRoot) - 1, kRoot) != 0) return std::string();
      pattern.erase(0, sizeof(kRoot) - 1);
      while (!pattern.empty() && pattern[0] == '/') pattern.erase(0, 1);
    }
    std::string out;
    bool dropped = false;
    if (!ExpandRange(pattern, 0, pattern.size(), os, version, false, out, dropped))
      return std::string();
    return out;
  }

  std::map<int, tFolder> folders_;
  std::map<std::string, std::string> placeholders_;
  std::string separator_;
  std::string mediaRoot_;
};

// Our own software-cache layout for releases from 11.0.0.
#define KQ_RELEASE_ROOT "{MEDIAROOT}/KQMedia/{VERSION}.0.0"
#define KQ_RECUT "SP{SPMAJOR}_{TRANSACTIONID}_R{REVISIONID}"
#define KQ_PLATFORM_ROOT KQ_RELEASE_ROOT "[/" KQ_RECUT "]/{PLATFORM}"
const tCacheFolderSpec kLocalCacheFolders[] = {
    {eKindPlatformRoot, KQ_PLATFORM_ROOT, ""},
    {eKindHotfixRoot, KQ_PLATFORM_ROOT "/{PAYLOAD}/LooseUpdates/Updates", ""},
    {eKindOSFolder, KQ_PLATFORM_ROOT "/{PAYLOAD}", ""},
    {eKindFeatureReleaseRoot, KQ_PLATFORM_ROOT "/{PAYLOAD}/LooseUpdates", ""},
    {eKindFeatureReleaseMedia, KQ_RELEASE_ROOT "/" KQ_RECUT, ""},
    {eKindUpdatesInfoFile, KQ_RELEASE_ROOT "[/" KQ_RECUT "]", "UpdatesInfo.xml"},
};
#undef KQ_PLATFORM_ROOT
#undef KQ_RECUT
#undef KQ_RELEASE_ROOT

void LogFailure(EvDebug* log, const char* fmt, const std::string& value) {
  if (log != nullptr) log->Debug("CreateFolderStructReader", fmt, value.c_str());
}

}  // namespace

CacheHierarchy MakeCacheHierarchy(int location, const tCacheFolderSpec* folders, size_t count) {
  CacheHierarchy hierarchy;
  hierarchy.setint64(CacheHierarchy::kLocation, location);
  std::vector<CNMessageBase> list;
  for (size_t i = 0; i < count; ++i) {
    CacheFolder folder;
    folder.setint64(CacheFolder::kKind, folders[i].kind);
    folder.setstring(CacheFolder::kPath, folders[i].path);
    if (folders[i].fileName[0] != '\0') folder.setstring(CacheFolder::kFileName, folders[i].fileName);
    list.push_back(folder);
  }
  hierarchy.setlistobject(CacheHierarchy::kFolders, list);
  return hierarchy;
}

std::string IFolderStruct::GetDefaultLocalCacheStruct(int type) {
  if (type != 1) return std::string();
  std::string xml;
  const CacheHierarchy hierarchy =
      MakeCacheHierarchy(eLocalHierarchy, kLocalCacheFolders, std::size(kLocalCacheFolders));
  if (XMLEncoder::serialize(hierarchy, xml) != 0) return std::string();
  return xml;
}

unsigned int CreateFolderStructReader(IFolderStruct** out, EvDebug* log,
                                      const CacheHierarchy& hierarchy,
                                      const std::map<std::string, std::string>& placeholders,
                                      const FullVersion& /*version*/,
                                      const std::string& separator) {
  if (out == nullptr) return kInvalidArg;
  *out = nullptr;
  if (separator != "/" && separator != "\\") {
    LogFailure(log, "Unsupported path separator [%s]", separator);
    return kInvalidArg;
  }
  for (const auto& kv : placeholders) {
    if (kv.first != "MEDIAROOT" && !kv.second.empty() && !IsOneFolderName(kv.second)) {
      LogFailure(log, "Placeholder value [%s] is not a folder name", kv.second);
      return kInvalidArg;
    }
  }
  const long long location = hierarchy.getint64(CacheHierarchy::kLocation);
  if (location != eLocalHierarchy && location != eRemoteHierarchy) {
    LogFailure(log, "Unknown hierarchy location [%s]", std::to_string(location));
    return kNotBuilt;
  }
  auto root = placeholders.find("MEDIAROOT");
  const std::string mediaRoot = root == placeholders.end() ? std::string() : root->second;
  if (mediaRoot.empty() || !HasNoParentStep(mediaRoot) ||
      (location == eLocalHierarchy && mediaRoot[0] != '/')) {
    LogFailure(log, "Media root [%s] is empty, relative or leaves its folder",
               kqmedia::UrlForText(mediaRoot));
    return kNotBuilt;
  }
  std::map<int, tFolder> folders;
  const std::vector<CNMessageBase>* list = hierarchy.getlistobject(CacheHierarchy::kFolders);
  if (list != nullptr) {
    for (const CNMessageBase& f : *list) {
      tFolder folder{f.getstring(CacheFolder::kPath), f.getstring(CacheFolder::kFileName)};
      if (folder.path.empty()) continue;
      folders[static_cast<int>(f.getint64(CacheFolder::kKind))] = folder;
    }
  }
  if (folders.empty()) {
    LogFailure(log, "Cache hierarchy has no folders%s", "");
    return kNotBuilt;
  }
  *out = new CFolderStruct(std::move(folders), placeholders, separator);
  return 0;
}

void DestroyFolderStructReader(IFolderStruct* reader) { delete reader; }

void RegisterSubsystem() {
#define KQ_INSTALLUTILS_ROW(Name, Id, ...) {kInstallUtilsSubsystem, Id, #Name},
  static const KqMessageClassInfo kClasses[] = {
      KQ_INSTALLUTILS_CLASSES(KQ_INSTALLUTILS_ROW, KQ_MSG_IGNORE, KQ_MSG_IGNORE)};
#undef KQ_INSTALLUTILS_ROW
  KqRegisterMessageClasses(kClasses, std::size(kClasses));
}

}  // namespace KQInstallCommonUtils
