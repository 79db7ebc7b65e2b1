#include "Archive/C7zip.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxError.h"
#include "PortableFiles/SafePath.h"

namespace {

// A listing line is "Key = value" (or "Key =" with an empty value).
bool SplitListingLine(const std::string& line, std::string& key, std::string& value) {
  size_t eq = line.find(" =");
  if (eq == std::string::npos || eq == 0) return false;
  for (size_t i = 0; i < eq; ++i) {
    char c = line[i];
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ';
    if (!ok || (i == 0 && c == ' ')) return false;
  }
  key = line.substr(0, eq);
  if (eq + 2 == line.size()) {
    value.clear();
  } else if (line.compare(eq + 2, 1, " ") == 0) {
    value = line.substr(eq + 3);
  } else {
    return false;
  }
  return true;
}

// True when a text holds ".." as a component, with '/' or '\' as separators.
bool HasDotDotComponent(const std::string& text) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("/\\", start);
    if (end == std::string::npos) end = text.size();
    if (end - start == 2 && text.compare(start, 2, "..") == 0) return true;
    start = end + 1;
  }
  return false;
}

// A mode text such as "lrwxrwxrwx" names a symbolic link.
bool IsLinkModeText(const std::string& value) {
  size_t start = 0;
  while (start < value.size()) {
    size_t end = value.find(' ', start);
    if (end == std::string::npos) end = value.size();
    std::string token = value.substr(start, end - start);
    if (token.size() == 10 && token[0] == 'l' &&
        token.find_first_not_of("rwxsStT-", 1) == std::string::npos) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The error lines of the program's output, or its last line when none says "error".
std::string ErrorText(const std::string& output) {
  std::string errors, last;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) {
      last = line;
      if (line.find("ERROR") != std::string::npos || line.find("Error") != std::string::npos ||
          line.find("error") != std::string::npos) {
        if (!errors.empty()) errors += "; ";
        errors += line;
      }
    }
    start = end + 1;
  }
  return errors.empty() ? last : errors;
}

}  // namespace

C7zip::C7zip(const std::string& program, int format) : program_(program), format_(format) {}

bool C7zip::Initialize() {
  initialized_ = false;
  std::string candidate = program_.empty() ? std::string("7z") : program_;
  struct stat st;
  if (candidate.find('/') != std::string::npos && ::stat(candidate.c_str(), &st) == 0 &&
      S_ISDIR(st.st_mode)) {
    candidate += "/7z";
  }
  if (candidate.find('/') != std::string::npos) {
    if (!IsExecutableFile(candidate)) {
      lastError_ = "7-Zip program [" + candidate + "] is not an executable file";
      return false;
    }
  } else {
    // Only absolute entries of PATH count: an empty or relative one names the working folder,
    // which may hold a program anyone planted. The path found is the one started.
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::string found;
    size_t start = 0;
    while (start <= dirs.size() && found.empty()) {
      size_t end = dirs.find(':', start);
      if (end == std::string::npos) end = dirs.size();
      std::string dir = dirs.substr(start, end - start);
      if (!dir.empty() && dir[0] == '/' && IsExecutableFile(dir + "/" + candidate))
        found = dir + "/" + candidate;
      start = end + 1;
    }
    if (found.empty()) {
      lastError_ = "7-Zip program [" + candidate + "] not found in the absolute folders of PATH";
      return false;
    }
    candidate = found;
  }
  program_ = candidate;
  initialized_ = true;
  lastError_.clear();
  return true;
}

bool C7zip::Run(const std::vector<std::string>& args, std::string& output, size_t outputCap) {
  output.clear();
  if (!initialized_ && !Initialize()) return false;

  // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
  std::vector<std::string> full;
  full.reserve(args.size() + 1);
  full.push_back(program_);
  full.insert(full.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : full) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (devnull < 0) {
    lastError_ = std::string("cannot open /dev/null: ") + PxErrnoText(errno);
    return false;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    lastError_ = std::string("cannot create a pipe: ") + PxErrnoText(errno);
    ::close(devnull);
    return false;
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    lastError_ = std::string("cannot start the 7-Zip program: ") + PxErrnoText(errno);
    ::close(devnull);
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  if (pid == 0) {
    ::dup2(devnull, 0);
    ::dup2(fds[1], 1);
    ::dup2(fds[1], 2);
    // No descriptor of ours (lock files above all) may live on in the program.
    if (::close_range(3, ~0U, 0) != 0) {
      for (int fd = 3; fd < 65536; ++fd) ::close(fd);
    }
    ::execv(argv[0], argv.data());  // a path with a '/': never searched for
    _exit(127);
  }
  ::close(devnull);
  ::close(fds[1]);

  bool overflow = false;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output.size() + static_cast<size_t>(n) > outputCap) {
      overflow = true;  // keep reading so that the program never blocks on a full pipe
      continue;
    }
    output.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      lastError_ = std::string("cannot wait for the 7-Zip program: ") + PxErrnoText(errno);
      return false;
    }
  }
  if (WIFSIGNALED(status)) {
    lastError_ = "7-Zip program ended by signal " + std::to_string(WTERMSIG(status));
    return false;
  }
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code == 127 && output.empty()) {
    lastError_ = "cannot run the 7-Zip program [" + program_ + "]";
    return false;
  }
  if (code != 0) {
    lastError_ = "7-Zip exited with status " + std::to_string(code) + ": " + ErrorText(output);
    return false;
  }
  if (overflow) {
    lastError_ = "7-Zip output exceeds " + std::to_string(outputCap) + " bytes";
    return false;
  }
  lastError_.clear();
  return true;
}

std::vector<std::string> C7zip::TypeSwitch() const {
  switch (format_) {
    case k7z: return {"-t7z"};
    case kZip: return {"-tzip"};
    case kTar: return {"-ttar"};
    default: return {};
  }
}

bool C7zip::RunCommandLine(const std::vector<std::string>& args) {
  std::string output;
  return Run(args, output, 1 << 20);
}

bool C7zip::ListEntries(const std::string& archive, std::vector<Entry>& entries) {
  entries.clear();
  std::vector<std::string> args = {"l", "-slt"};
  std::vector<std::string> type = TypeSwitch();
  args.insert(args.end(), type.begin(), type.end());
  args.push_back("--");
  args.push_back(archive);
  std::string output;
  if (!Run(args, output, size_t(1) << 30)) return false;

  size_t pos = output.find("\n----------\n");
  if (pos == std::string::npos) {
    // An archive without entries prints no separator.
    return true;
  }
  pos += 12;
  bool malformed = false;
  bool inEntry = false;
  while (pos < output.size()) {
    size_t end = output.find('\n', pos);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      inEntry = false;
      continue;
    }
    std::string key, value;
    if (!SplitListingLine(line, key, value)) {
      // A line that is no "Key = value" pair is the rest of a name holding a line break; it
      // may carry anything, so the whole archive is refused.
      malformed = true;
      continue;
    }
    if (key == "Path") {
      entries.push_back(Entry());
      entries.back().path = value;
      inEntry = true;
      continue;
    }
    if (!inEntry) {
      malformed = true;
      continue;
    }
    // A continued name can imitate a pair; a ".." anywhere is refused for that reason.
    if (HasDotDotComponent(line) || HasDotDotComponent(value)) malformed = true;
    Entry& e = entries.back();
    if (key == "Folder") {
      e.isFolder = (value == "+");
    } else if (key == "Size" && !value.empty()) {
      // A size that does not read as a number counts as more than any disk holds.
      char* end = nullptr;
      errno = 0;
      e.size = std::strtoull(value.c_str(), &end, 10);
      if (errno != 0 || *end != '\0' || value[0] == '-') e.size = ~0ULL;
    } else if ((key == "Symbolic Link" || key == "Hard Link" || key == "Link") && !value.empty()) {
      e.isLink = true;
    } else if ((key == "Attributes" || key == "Mode") && IsLinkModeText(value)) {
      e.isLink = true;
    }
  }
  if (malformed) {
    lastError_ = "archive [" + archive + "] has an entry whose name spans lines or is not a path";
    entries.clear();
    return false;
  }
  return true;
}

bool C7zip::IsSafeEntryName(const std::string& name) {
  if (name.find_first_of("\r\n") != std::string::npos) return false;
  return kq::IsSafeRelativeName(name);
}

bool C7zip::VerifyArchive(const std::string& archive) {
  std::vector<Entry> entries;
  return VerifyEntries(archive, entries);
}

bool C7zip::VerifyEntries(const std::string& archive, std::vector<Entry>& entries) {
  if (!ListEntries(archive, entries)) {
    if (lastError_.empty()) lastError_ = "cannot list archive [" + archive + "]";
    return false;
  }
  for (const Entry& e : entries) {
    if (e.path.size() > kMaxEntryNameBytes ||
        static_cast<int>(std::count(e.path.begin(), e.path.end(), '/') +
                         std::count(e.path.begin(), e.path.end(), '\\')) >= kMaxEntryDepth) {
      lastError_ = "archive entry [" + e.path.substr(0, 200) + "...] is nested too deep";
      return false;
    }
    if (!IsSafeEntryName(e.path)) {
      lastError_ = "archive entry [" + e.path + "] is an absolute path or leaves the destination";
      return false;
    }
    if (e.isLink) {
      lastError_ = "archive entry [" + e.path + "] is a link";
      return false;
    }
  }
  lastError_.clear();
  return true;
}

unsigned long long C7zip::ExtractedBytes(const std::vector<Entry>& entries,
                                         const std::string& fileSpec) {
  const bool byPath = fileSpec.find('/') != std::string::npos;
  unsigned long long total = 0;
  for (const Entry& e : entries) {
    if (e.isFolder) continue;
    if (!fileSpec.empty()) {
      size_t slash = e.path.find_last_of("/\\");
      std::string name = byPath || slash == std::string::npos ? e.path : e.path.substr(slash + 1);
      if (::fnmatch(fileSpec.c_str(), name.c_str(), 0) != 0) continue;
    }
    total = e.size > ~0ULL - total ? ~0ULL : total + e.size;
  }
  return total;
}

bool C7zip::FitsDestination(int destFd, const std::string& destination,
                            unsigned long long extractedBytes) {
  struct statvfs vfs;
  if (::fstatvfs(destFd, &vfs) != 0) {
    lastError_ = "cannot learn the free space of [" + destination + "]: " + PxErrnoText(errno);
    return false;
  }
  const unsigned long long freeBytes =
      static_cast<unsigned long long>(vfs.f_bavail) * static_cast<unsigned long long>(vfs.f_frsize);
  const unsigned long long usable = freeBytes > reserveBytes_ ? freeBytes - reserveBytes_ : 0;
  if (extractedBytes <= usable) return true;
  lackedSpace_ = true;
  lastError_ = "archive expands to [" + std::to_string(extractedBytes) + "] bytes, more than the [" +
               std::to_string(freeBytes) + "] bytes free in [" + destination +
               "] less a reserve of [" + std::to_string(reserveBytes_) + "] bytes";
  return false;
}

bool C7zip::ExtractFilesWithFullPathsFromArchive(const std::string& archive,
                                                 const std::string& destination) {
  return ExtractInto(archive, destination, std::string(), true);
}

std::vector<std::string> C7zip::FlatExtractArgs(const std::string& archive,
                                                const std::string& destination,
                                                const std::string& fileSpec, bool overwrite) const {
  // Switches first and "--" before the names, so that a name beginning with '-' stays a name.
  std::vector<std::string> args = {"e"};
  std::vector<std::string> type = TypeSwitch();
  args.insert(args.end(), type.begin(), type.end());
  args.push_back("-o" + destination);
  args.push_back("-r");
  if (overwrite) args.push_back("-y");
  args.push_back("--");
  args.push_back(archive);
  args.push_back(fileSpec);
  return args;
}

std::string C7zip::CommandLineText(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& a : args) {
    bool first = text.empty();
    if (!first) text += ' ';
    if (first) {
      text += a;  // the command letter
    } else if (a.size() > 2 && a.compare(0, 2, "-o") == 0) {
      text += "-o\"" + a.substr(2) + '"';
    } else if (!a.empty() && a[0] == '-') {
      text += a;
    } else {
      text += '"' + a + '"';
    }
  }
  return text;
}

// ---- Extraction through a staging folder ------------------------------------------------------

namespace {

// The names inside the folder open at `fd`, "." and ".." left out, sorted bytewise.
bool ListFolder(int fd, std::vector<std::string>& names) {
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    ::close(copy);
    return false;
  }
  ::rewinddir(dir);  // the copy shares its position with every other reader of `fd`
  bool ok = true;
  for (;;) {
    errno = 0;
    struct dirent* ent = ::readdir(dir);
    if (ent == nullptr) {
      ok = errno == 0;
      break;
    }
    std::string name = ent->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return ok;
}

// Holds one descriptor and closes it.
struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

// Checks what the program extracted below the folder open at `fd`: only real folders and
// regular files, no name with a line break, no deeper than kMaxEntryDepth. `rel` names the
// folder in error texts.
bool CheckExtracted(int fd, const std::string& rel, int depth, std::string& err) {
  if (depth > C7zip::kMaxEntryDepth) {
    err = "archive entries below [" + rel + "] are nested too deep";
    return false;
  }
  std::vector<std::string> names;
  if (!ListFolder(fd, names)) {
    err = "cannot read the extracted folder [" + rel + "]: " + PxErrnoText(errno);
    return false;
  }
  for (const std::string& name : names) {
    const std::string path = rel.empty() ? name : rel + "/" + name;
    if (name.find_first_of("\r\n") != std::string::npos) {
      err = "archive entry [" + path + "] has a line break in its name";
      return false;
    }
    struct stat sb;
    if (::fstatat(fd, name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0) {
      err = "cannot examine the extracted entry [" + path + "]: " + PxErrnoText(errno);
      return false;
    }
    if (S_ISDIR(sb.st_mode)) {
      Fd sub(::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (sub.fd < 0) {
        err = "cannot open the extracted folder [" + path + "]: " + PxErrnoText(errno);
        return false;
      }
      if (!CheckExtracted(sub.fd, path, depth + 1, err)) return false;
    } else if (!S_ISREG(sb.st_mode)) {
      err = "archive entry [" + path + "] was extracted as a link or special file";
      return false;
    }
  }
  return true;
}

// Moves what is inside the folder open at `from` into the folder open at `to`, by renames
// relative to the two descriptors: nothing is ever written through a link. A folder that
// does not exist in `to` moves whole; an existing real folder is merged into; a link or file
// where a folder or file goes is replaced (when `overwrite`), never followed.
bool MoveIn(int from, int to, const std::string& rel, bool overwrite, std::string& err) {
  std::vector<std::string> names;
  if (!ListFolder(from, names)) {
    err = "cannot read the extracted folder [" + rel + "]: " + PxErrnoText(errno);
    return false;
  }
  for (const std::string& name : names) {
    const std::string path = rel.empty() ? name : rel + "/" + name;
    struct stat src, dst;
    if (::fstatat(from, name.c_str(), &src, AT_SYMLINK_NOFOLLOW) != 0) {
      err = "cannot examine the extracted entry [" + path + "]: " + PxErrnoText(errno);
      return false;
    }
    const bool exists = ::fstatat(to, name.c_str(), &dst, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISDIR(dst.st_mode)) {
      if (!S_ISDIR(src.st_mode)) {
        err = "a folder is in the way of archive entry [" + path + "]";
        return false;
      }
      Fd inner(::openat(from, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      Fd outer(::openat(to, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (inner.fd < 0 || outer.fd < 0) {
        err = "cannot open the folder of archive entry [" + path + "]: " + PxErrnoText(errno);
        return false;
      }
      if (!MoveIn(inner.fd, outer.fd, path, overwrite, err)) return false;
      continue;
    }
    if (exists && !overwrite) {
      err = "archive entry [" + path + "] exists in the destination";
      return false;
    }
    // A folder cannot be renamed over a file or link: that goes first (a link as a link).
    if (exists && S_ISDIR(src.st_mode) && ::unlinkat(to, name.c_str(), 0) != 0) {
      err = "cannot replace [" + path + "] in the destination: " + PxErrnoText(errno);
      return false;
    }
    if (::renameat(from, name.c_str(), to, name.c_str()) != 0) {
      err = "cannot move archive entry [" + path + "] into the destination: " + PxErrnoText(errno);
      return false;
    }
  }
  return true;
}

}  // namespace

bool C7zip::ExtractInto(const std::string& archive, const std::string& destination,
                        const std::string& fileSpec, bool overwrite) {
  lackedSpace_ = false;
  std::vector<Entry> entries;
  if (!VerifyEntries(archive, entries)) return false;
  // A missing destination is made, as the program would, and goes again when the call fails.
  struct stat sb;
  const bool made = ::stat(destination.c_str(), &sb) != 0 && errno == ENOENT;
  if (made && CPxDirectory::Create(destination, true).IsError()) {
    lastError_ = "cannot create the destination [" + destination + "]: " + PxErrnoText(errno);
    return false;
  }
  Fd dest(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dest.fd < 0) {
    lastError_ = "cannot open the destination [" + destination + "]: " + PxErrnoText(errno);
    return false;
  }
  // Refused before the program writes a byte, so that other writers of the file system never
  // find it full.
  if (!FitsDestination(dest.fd, destination, ExtractedBytes(entries, fileSpec))) {
    std::string removeError;
    if (made) kq::RemoveTreeNoFollow(destination, &removeError);
    return false;
  }
  // A fresh folder of ours: the program writes where no link of anyone else can be.
  std::string staging = destination + "/.kqextract.XXXXXX";
  if (::mkdtemp(&staging[0]) == nullptr) {
    lastError_ = "cannot create a folder in [" + destination + "]: " + PxErrnoText(errno);
    return false;
  }
  std::vector<std::string> args;
  if (fileSpec.empty()) {
    args = {"x"};
  } else {
    args = {"e"};
  }
  std::vector<std::string> type = TypeSwitch();
  args.insert(args.end(), type.begin(), type.end());
  args.push_back("-o" + staging);
  if (!fileSpec.empty()) args.push_back("-r");
  args.push_back("-y");
  args.push_back("--");
  args.push_back(archive);
  if (!fileSpec.empty()) args.push_back(fileSpec);

  bool ok = RunCommandLine(args);
  if (ok) {
    std::string err;
    Fd from(::open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    ok = from.fd >= 0 && CheckExtracted(from.fd, "", 0, err) &&
         MoveIn(from.fd, dest.fd, "", overwrite, err);
    if (from.fd < 0) err = "cannot open [" + staging + "]: " + PxErrnoText(errno);
    if (!ok) lastError_ = err;
  }
  std::string removeError;
  kq::RemoveTreeNoFollow(staging, &removeError);
  if (!ok && made) kq::RemoveTreeNoFollow(destination, &removeError);
  return ok;
}
