#include "Configuration/IniStore.h"

#include <fcntl.h>

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <random>
#include <stdexcept>
#include <unordered_map>

#include "Concurrency/LockFile.h"
#include "Configuration/StateFolders.h"
#include "Logging/EvDebug.h"
#include "PortableFiles/PxError.h"
#include "PortableFiles/PxFile.h"
#include "PortableFiles/ScopedFd.h"
#include "PortableFiles/TrustedFolder.h"

namespace kqconfig {

bool NoCaseLess::operator()(const std::string& a, const std::string& b) const {
  return strcasecmp(a.c_str(), b.c_str()) < 0;
}

namespace {

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool ReadAll(int fd, std::string& out) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buf, static_cast<size_t>(n));
  }
}

// Parsed files keyed by path, reused while the file's identity is unchanged.
struct CachedFile {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime = {0, 0};
  struct timespec ctime = {0, 0};  // a change of mode or owner moves it
  std::shared_ptr<const IniData> data;
};

std::mutex g_cacheMutex;
std::atomic<unsigned long long> g_generation{0};
std::unordered_map<std::string, CachedFile>& Cache() {
  static auto* cache = new std::unordered_map<std::string, CachedFile>();
  return *cache;
}

// The empty stores standing for refused ones, by path: one object per path and reason, so that
// a reader that compares snapshots sees a change only when the reason changes.
std::unordered_map<std::string, std::shared_ptr<const IniData>>& RefusedStores() {
  static auto* refused = new std::unordered_map<std::string, std::shared_ptr<const IniData>>();
  return *refused;
}

std::shared_ptr<const IniData> RefusedStore(const std::string& path, const std::string& err) {
  const std::string why = "the configuration store [" + path + "] is refused: " + err;
  std::lock_guard<std::mutex> g(g_cacheMutex);
  std::shared_ptr<const IniData>& slot = RefusedStores()[path];
  if (!slot || slot->refused != why) {
    auto data = std::make_shared<IniData>(IniData::parse(std::string()));
    data->refused = why;
    slot = std::move(data);
  }
  return slot;
}

bool SameIdentity(const CachedFile& c, const struct stat& st) {
  return c.dev == st.st_dev && c.ino == st.st_ino && c.size == st.st_size &&
         c.mtime.tv_sec == st.st_mtim.tv_sec && c.mtime.tv_nsec == st.st_mtim.tv_nsec &&
         c.ctime.tv_sec == st.st_ctim.tv_sec && c.ctime.tv_nsec == st.st_ctim.tv_nsec;
}

}  // namespace

const IniData::Section* IniData::findSection(const std::string& section) const {
  for (const Section& s : sections)
    if (SameName(s.name, section)) return &s;
  return nullptr;
}

IniData::Section* IniData::findSection(const std::string& section) {
  for (Section& s : sections)
    if (SameName(s.name, section)) return &s;
  return nullptr;
}

const std::string* IniData::find(const std::string& section, const std::string& name) const {
  const Section* s = findSection(section);
  if (!s) return nullptr;
  for (const auto& kv : s->values)
    if (SameName(kv.first, name)) return &kv.second;
  return nullptr;
}

void IniData::set(const std::string& section, const std::string& name, const std::string& value) {
  if (sections.empty()) sections.push_back(Section{});
  Section* s = findSection(section);
  if (!s) {
    sections.push_back(Section{section, {}});
    s = &sections.back();
  }
  for (auto& kv : s->values) {
    if (SameName(kv.first, name)) {
      kv.second = value;
      return;
    }
  }
  s->values.emplace_back(name, value);
}

bool IniData::erase(const std::string& section, const std::string& name) {
  Section* s = findSection(section);
  if (!s) return false;
  for (auto it = s->values.begin(); it != s->values.end(); ++it) {
    if (SameName(it->first, name)) {
      s->values.erase(it);
      return true;
    }
  }
  return false;
}

std::string IniData::serialize() const {
  std::string out;
  for (size_t i = 0; i < sections.size(); ++i) {
    const Section& s = sections[i];
    if (i > 0) out += "[" + s.name + "]\n";
    for (const auto& kv : s.values) out += kv.first + "=" + kv.second + "\n";
  }
  return out;
}

IniData IniData::parse(const std::string& text) {
  IniData data;
  data.sections.push_back(Section{});
  size_t current = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t.front() == '[' && t.back() == ']') {
      std::string name = Trim(t.substr(1, t.size() - 2));
      current = data.sections.size();
      for (size_t i = 0; i < data.sections.size(); ++i)
        if (SameName(data.sections[i].name, name)) current = i;
      if (current == data.sections.size()) data.sections.push_back(Section{name, {}});
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string name = Trim(line.substr(0, eq));
    if (name.empty()) continue;
    // Values keep their bytes; only the separator's surrounding blanks go.
    std::string value = line.substr(eq + 1);
    size_t b = value.find_first_not_of(" \t");
    value = b == std::string::npos ? std::string() : value.substr(b);
    auto& values = data.sections[current].values;
    bool replaced = false;
    for (auto& kv : values) {
      if (SameName(kv.first, name)) {
        kv.second = value;
        replaced = true;
      }
    }
    if (!replaced) values.emplace_back(name, value);
  }
  return data;
}

namespace {

const char kTag[] = "IniStore";

// The folder part of a store path ("" for a bare name, which is refused as relative).
std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string FileOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Tells stderr once that `what` of the store `path` was refused for `err` (the log reads the
// store itself, so it cannot be where this is said).
void TellRefused(const std::string& what, const std::string& path, const std::string& err) {
  kq::ReportRefusal(kTag, "refusing " + kq::DescribeRefusal(what, path, err));
}

// A store's folder as checked from "/" (Configuration/StateFolders.h), kept open while its path
// still leads to the folder checked: the store is read at every look-up, and one status call of
// the folder's path then stands for the walk. Whoever uses the descriptor holds a reference.
struct CheckedFolder {
  std::shared_ptr<const kq::ScopedFd> fd;
  dev_t dev = 0;
  ino_t ino = 0;
};
std::mutex g_folderMutex;
std::unordered_map<std::string, CheckedFolder>& CheckedFolders() {
  static auto* folders = new std::unordered_map<std::string, CheckedFolder>();
  return *folders;
}

// The checked descriptor of the store folder `folder`, made first when `make` (a write); null
// with the reason in `err` ("" when the folder is merely missing and not to be made: the walk
// from "/" found a real folder lacking the next level, not a link that leads nowhere).
std::shared_ptr<const kq::ScopedFd> StoreFolder(const std::string& folder, bool make,
                                                std::string& err) {
  err.clear();
  struct stat now;
  if (::stat(folder.c_str(), &now) == 0) {
    std::lock_guard<std::mutex> g(g_folderMutex);
    auto it = CheckedFolders().find(folder);
    if (it != CheckedFolders().end() && it->second.dev == now.st_dev &&
        it->second.ino == now.st_ino)
      return it->second.fd;
  }
  const int opened = make ? kq::OpenConfiguredFolder(folder, err)
                          : kq::OpenTrustedFolder(folder, kq::TrustedFolderOptions{}, err);
  if (opened < 0 && !make && errno == ENOENT) err.clear();
  auto fd = std::make_shared<const kq::ScopedFd>(opened);
  struct stat checked;
  if (!fd->valid() || ::fstat(fd->get(), &checked) != 0) {
    if (fd->valid()) err = "cannot examine folder [" + folder + "]: " + PxErrnoText(errno);
    return nullptr;
  }
  std::lock_guard<std::mutex> g(g_folderMutex);
  CheckedFolders()[folder] = CheckedFolder{fd, checked.st_dev, checked.st_ino};
  return fd;
}

}  // namespace

std::shared_ptr<const IniData> IniStore::snapshot(bool* readable) const {
  static const auto kEmpty = std::make_shared<const IniData>(IniData::parse(std::string()));
  if (readable) *readable = false;
  // Nothing is read through a folder another user could change: their file would be their
  // configuration. A refusal is told on stderr (the log reads the store itself).
  std::string err;
  const auto folder = StoreFolder(FolderOf(path_), false, err);
  if (!folder) {
    if (!err.empty()) TellRefused("store", path_, err);
    return err.empty() ? kEmpty : RefusedStore(path_, err);  // no folder: an absent store
  }
  const std::string name = FileOf(path_);
  struct stat st;
  // The file as cached last: one status call, no open (the store is read at every look-up).
  if (::fstatat(folder->get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    std::lock_guard<std::mutex> g(g_cacheMutex);
    auto it = Cache().find(path_);
    if (it != Cache().end() && SameIdentity(it->second, st)) {
      if (readable) *readable = true;
      return it->second.data;
    }
  }
  int fd = kq::OpenOwnFileAt(folder->get(), name, O_RDONLY, 0, true, path_, err, &st);
  if (fd < 0) {
    if (errno == ENOENT) return kEmpty;  // no file: an absent store
    TellRefused("file of the store", path_, err);
    return RefusedStore(path_, err);
  }
  {
    std::lock_guard<std::mutex> g(g_cacheMutex);
    auto it = Cache().find(path_);
    if (it != Cache().end() && SameIdentity(it->second, st)) {
      ::close(fd);
      if (readable) *readable = true;
      return it->second.data;
    }
  }
  std::string text;
  const bool ok = ReadAll(fd, text);
  const int readError = errno;
  ::close(fd);
  if (!ok) {
    const std::string why = "cannot read it: " + PxErrnoText(readError);
    TellRefused("store", path_, why);
    return RefusedStore(path_, why);
  }
  auto data = std::make_shared<const IniData>(IniData::parse(text));
  {
    std::lock_guard<std::mutex> g(g_cacheMutex);
    CachedFile& c = Cache()[path_];
    c.dev = st.st_dev;
    c.ino = st.st_ino;
    c.size = st.st_size;
    c.mtime = st.st_mtim;
    c.ctime = st.st_ctim;
    c.data = data;
  }
  if (readable) *readable = true;
  return data;
}

bool IniStore::get(const std::string& section, const std::string& name, std::string& value) const {
  auto data = snapshot();
  const std::string* v = data->find(section, name);
  if (!v) return false;
  value = *v;
  return true;
}

namespace {

std::atomic<long long> g_lockWaitMs{IniStore::kDefaultLockWaitMs};

// A name beside `path` that nobody can guess beforehand.
std::string UnpredictableName(const std::string& path) {
  static const char kHex[] = "0123456789abcdef";
  std::random_device random;
  std::string name = path + ".tmp.";
  for (int i = 0; i < 4; ++i) {
    unsigned int bits = random();
    for (int j = 0; j < 8; ++j, bits >>= 4) name += kHex[bits & 0xF];
  }
  return name;
}

// Makes the new file beside the store (`name` in the folder open at `dir`): never through a
// link, never over an existing file.
int CreateTemporary(int dir, const std::string& name, std::string& tmp) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    try {
      tmp = UnpredictableName(name);
    } catch (const std::exception&) {  // no source of randomness: no guessable name either
      errno = EIO;
      return -1;
    }
    int fd = ::openat(dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Gives the new file the old one's owner and mode (0600 and this user for a new store).
bool KeepOwnerAndMode(int fd, const struct stat* old, std::string& err) {
  if (old == nullptr) return true;  // made 0600 as this user already
  struct stat now;
  if (::fstat(fd, &now) != 0) {
    err = PxErrnoText(errno);
    return false;
  }
  if ((now.st_uid != old->st_uid || now.st_gid != old->st_gid) &&
      ::fchown(fd, old->st_uid, old->st_gid) != 0) {
    err = "cannot keep the owner " + std::to_string(old->st_uid) + ":" +
          std::to_string(old->st_gid) + ": " + PxErrnoText(errno);
    return false;
  }
  // After the owner: a change of owner may clear mode bits.
  if (::fchmod(fd, old->st_mode & 07777) != 0) {
    err = "cannot keep the mode: " + PxErrnoText(errno);
    return false;
  }
  return true;
}

}  // namespace

void IniStore::SetLockWait(long long waitMs) {
  g_lockWaitMs = waitMs < 0 || waitMs > kDefaultLockWaitMs ? kDefaultLockWaitMs : waitMs;
}

template <class Edit>
bool IniStore::update(Edit edit) {
  // Everything below goes through the folder checked from "/", never through its path again.
  std::string err;
  const auto folder = StoreFolder(FolderOf(path_), true, err);
  if (!folder) {
    EvDebug().Debug(kTag, "Refusing to write the store [%s]: %s", path_.c_str(), err.c_str());
    kq::ReportRefusal(kTag, "refusing to write the store [" + path_ + "]: " + err);
    return false;
  }
  const int dir = folder->get();
  const std::string name = FileOf(path_);
  kq::ScopedFd lock(kq::OpenLockFileAt(dir, name + ".lock", path_ + ".lock", err));
  if (!lock.valid()) {
    EvDebug().Debug(kTag, "Refusing to write the store [%s]: %s", path_.c_str(), err.c_str());
    return false;
  }
  const long long waitMs = g_lockWaitMs.load();
  int rc = kq::LockFileUntil(lock.get(), std::chrono::steady_clock::now() +
                                             std::chrono::milliseconds(waitMs));
  if (rc != 0) {
    EvDebug().Debug(kTag, "Cannot lock the store [%s] (waited at most %lld ms): %s",
                    path_.c_str(), waitMs, PxErrnoText(rc).c_str());
    return false;
  }
  std::string text;
  struct stat old;
  bool existed = false;
  kq::ScopedFd in(kq::OpenOwnFileAt(dir, name, O_RDONLY, 0, true, path_, err, &old));
  if (!in.valid() && errno != ENOENT) {
    EvDebug().Debug(kTag, "Refusing to write the store [%s]: %s", path_.c_str(), err.c_str());
    return false;
  }
  if (in.valid()) {
    if (!ReadAll(in.get(), text)) return false;
    existed = true;
  }
  IniData data = IniData::parse(text);
  bool ok = edit(data);
  if (ok) {
    std::string tmp;
    int out = CreateTemporary(dir, name, tmp);
    if (out < 0) {
      EvDebug().Debug(kTag, "Cannot create a new file beside the store [%s]: %s", path_.c_str(),
                      PxErrnoText(errno).c_str());
      ok = false;
    } else {
      if (!KeepOwnerAndMode(out, existed ? &old : nullptr, err)) {
        EvDebug().Debug(kTag, "Not writing the store [%s]: %s", path_.c_str(), err.c_str());
        ok = false;
      }
      const std::string text = data.serialize();
      ok = ok && CPxFile::WriteAllTo(out, text.data(), text.size()) && ::fsync(out) == 0;
      ::close(out);
      ok = ok && ::renameat(dir, tmp.c_str(), dir, name.c_str()) == 0;
      if (!ok) ::unlinkat(dir, tmp.c_str(), 0);
    }
    g_generation.fetch_add(1);
  }
  return ok;  // closing `lock` releases the flock
}

bool IniStore::set(const std::string& section, const std::string& name, const std::string& value) {
  if (name.empty() || name.find_first_of("=\n\r") != std::string::npos ||
      value.find_first_of("\n\r") != std::string::npos ||
      section.find_first_of("[]\n\r") != std::string::npos)
    return false;
  return update([&](IniData& d) {
    d.set(section, name, value);
    return true;
  });
}

bool IniStore::erase(const std::string& section, const std::string& name) {
  bool found = false;
  bool ok = update([&](IniData& d) {
    found = d.erase(section, name);
    return found;
  });
  return ok && found;
}

unsigned long long IniStore::Generation() { return g_generation.load(); }

std::string IniStore::DefaultPath() {
  const char* env = std::getenv("KQ_CONFIG");
  return env && *env ? env : "/etc/kqpatches/config.ini";
}

bool IniStore::DefaultRefused(std::string& why) {
  why = Default().snapshot()->refused;
  return !why.empty();
}

IniStore& IniStore::Default() {
  // One store object per path, kept for the process's life (they are tiny).
  static std::mutex m;
  static auto* stores = new std::unordered_map<std::string, std::unique_ptr<IniStore>>();
  std::string path = DefaultPath();
  std::lock_guard<std::mutex> g(m);
  auto& slot = (*stores)[path];
  if (!slot) slot.reset(new IniStore(path));
  return *slot;
}

}  // namespace kqconfig
