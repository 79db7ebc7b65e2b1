#include "Concurrency/KqNamedMutex.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "Concurrency/KqCurrentIds.h"
#include "Concurrency/LockFile.h"
#include "Configuration/IniStore.h"
#include "Configuration/KQPlatformInfo.h"
#include "Configuration/StateFolders.h"
#include "Logging/EvDebug.h"
#include "PortableFiles/ScopedFd.h"

namespace {

const char kTag[] = "KqNamedMutex";
const char kStateKind[] = "NamedMutex";

using Clock = std::chrono::steady_clock;

std::string ErrorText(int err) {
  char buf[128];
  return strerror_r(err, buf, sizeof buf);
}

}  // namespace

KqNamedMutex::KqNamedMutex(const std::string& name)
    : m_name(name),
      m_folder(lockFolder()),
      m_path(m_folder + "/" + lockFileName(name)),
      m_owner(0),
      m_count(0),
      m_acquiring(false),
      m_fd(-1) {}

KqNamedMutex::~KqNamedMutex() {
  if (m_fd >= 0) {
    flock(m_fd, LOCK_UN);
    close(m_fd);
  }
}

std::string KqNamedMutex::lockFolder() {
  std::string folder;
  if (KQPlatformInfo().getString("NamedMutex", "dLockFolder", folder) && !folder.empty()) {
    // A relative folder would land below whatever the working folder is; it is refused when
    // the mutex is first taken (acquireFile).
    if (folder[0] != '/') {
      EvDebug().Debug(kTag, "Refusing the relative lock folder [%s] of NamedMutex/dLockFolder",
                      folder.c_str());
    }
    return folder;
  }
  const char* env = std::getenv("KQ_MUTEX_DIR");
  if (env != nullptr && *env != '\0') return env;
  return kq::DefaultStateFolder(kStateKind);
}

std::string KqNamedMutex::lockFileName(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '_' || c == '-';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out + ".lock";
}

bool KqNamedMutex::lock(long long timeoutMs) {
  const bool forever = timeoutMs < 0;
  const Clock::time_point deadline =
      forever ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
  const unsigned long self = GetCurrentThreadId();

  std::unique_lock<std::mutex> guard(m_mutex);
  if (m_count > 0 && m_owner == self) {
    ++m_count;
    return true;
  }
  // Another thread of this object holds it or is trying: wait for it like any other waiter.
  auto objectFree = [this] { return m_count == 0 && !m_acquiring; };
  if (forever) {
    m_free.wait(guard, objectFree);
  } else if (!m_free.wait_until(guard, deadline, objectFree)) {
    return false;
  }
  m_acquiring = true;
  guard.unlock();

  bool got = acquireFile(forever, deadline);

  guard.lock();
  m_acquiring = false;
  if (got) {
    m_owner = self;
    m_count = 1;
  }
  guard.unlock();
  m_free.notify_all();
  return got;
}

// Opens the lock file and takes the flock. Runs with m_acquiring set, so m_fd is ours alone.
bool KqNamedMutex::acquireFile(bool forever, std::chrono::steady_clock::time_point deadline) {
  if (m_name.empty()) {
    EvDebug().Debug(kTag, "Refused a named mutex without a name");
    return false;
  }
  // A refused store may name the lock folder: no other folder stands in for it.
  std::string err;
  if (kqconfig::IniStore::DefaultRefused(err)) {
    EvDebug().Debug(kTag, "Cannot take the named mutex [%s]: %s", m_name.c_str(), err.c_str());
    return false;
  }
  // The folder is checked from "/" and the file made through the descriptor checked.
  kq::ScopedFd folder;
  if (m_folder == kq::DefaultStateFolder(kStateKind)) {
    std::string made;
    folder.reset(kq::OpenStateFolder(kStateKind, made, err));
  } else {
    folder.reset(kq::OpenConfiguredFolder(m_folder, err));
  }
  if (!folder.valid()) {
    const std::string refusal = kq::DescribeRefusal("lock folder", m_folder, err);
    EvDebug().Debug(kTag, "Refusing %s", refusal.c_str());
    kq::ReportRefusal(kTag, "refusing " + refusal);
    return false;
  }
  int fd = kq::OpenLockFileAt(folder.get(), lockFileName(m_name), m_path, err);
  if (fd < 0) {
    EvDebug().Debug(kTag, "Refusing %s", kq::DescribeRefusal("lock file", m_path, err).c_str());
    return false;
  }

  int rc = kq::LockFileUntil(fd, forever ? Clock::time_point::max() : deadline);
  if (rc != 0) {
    if (rc != ETIMEDOUT) {
      EvDebug().Debug(kTag, "Cannot lock [%s]: [%d] [%s]", m_path.c_str(), rc,
                      ErrorText(rc).c_str());
    }
    close(fd);
    return false;
  }
  m_fd = fd;
  return true;
}

bool KqNamedMutex::unlock() {
  const unsigned long self = GetCurrentThreadId();
  std::unique_lock<std::mutex> guard(m_mutex);
  if (m_count == 0 || m_owner != self) {
    EvDebug().Debug(kTag, "Unlock of [%s] by a thread that does not hold it", m_name.c_str());
    return false;
  }
  if (--m_count > 0) return true;
  m_owner = 0;
  // Unlock before closing: a child forked meanwhile shares the open file and would keep it.
  flock(m_fd, LOCK_UN);
  close(m_fd);
  m_fd = -1;
  guard.unlock();
  m_free.notify_all();
  return true;
}

int KqNamedMutex::getLockCnt() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_count;
}
