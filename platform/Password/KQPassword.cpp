#include "Password/KQPassword.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Configuration/IniStore.h"
#include "Configuration/KQPlatformInfo.h"
#include "Configuration/StateFolders.h"
#include "Logging/EvDebug.h"
#include "PortableFiles/PxFile.h"
#include "PortableFiles/ScopedFd.h"
#include "PortableFiles/TrustedFolder.h"

namespace {

const char kTag[] = "KQPassword";
constexpr size_t kKeyBytes = 32;
constexpr size_t kNonceBytes = 12;
constexpr size_t kTagBytes = 16;

// Wipes a buffer that held key material or clear text.
void Wipe(void* p, size_t n) {
  volatile unsigned char* b = static_cast<volatile unsigned char*>(p);
  while (n-- > 0) *b++ = 0;
}

struct KeyBuffer {
  unsigned char bytes[kKeyBytes];
  ~KeyBuffer() { Wipe(bytes, sizeof bytes); }
};

bool ReadAll(int fd, unsigned char* out, size_t n, size_t& got) {
  got = 0;
  while (got < n) {
    ssize_t r = ::read(fd, out + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return true;
}

// Where the store puts the key: its absolute path, the folder above it and its file name.
struct KeyPlace {
  std::string path, folder, name;
};

// The key file the store names, split. False, with a log line, when it names none or a path that
// is not absolute or ends in no file name.
bool KeyPlaceOf(KeyPlace& place) {
  place.path = KQPassword::keyFilePath();
  if (place.path.empty()) {
    std::string refused;  // a refused store names no key file either
    if (kqconfig::IniStore::DefaultRefused(refused))
      EvDebug().Debug(kTag, "No password key file: %s", refused.c_str());
    else
      EvDebug().Debug(kTag, "No password key file is configured");
    return false;
  }
  const size_t slash = place.path.rfind('/');
  if (place.path[0] != '/' || slash + 1 == place.path.size()) {
    EvDebug().Debug(kTag, "Refusing the key file [%s]: not an absolute path to a file",
                    place.path.c_str());
    return false;
  }
  place.folder = slash == 0 ? "/" : place.path.substr(0, slash);
  place.name = place.path.substr(slash + 1);
  return true;
}

// Says in the log, and once on stderr (where an administrator looks when stored passwords stop
// decrypting), that the key file is refused and why. No key bytes ever reach `why`.
void RefuseKey(const std::string& text) {
  EvDebug().Debug(kTag, "%s", text.c_str());
  kq::ReportRefusal(kTag, text);
}

// Says that no key was made yet: nothing was encrypted with one, so there is nothing to refuse.
void NoKeyYet(const KeyPlace& place) {
  EvDebug().Debug(kTag, "There is no key file [%s] yet: no password was stored with it",
                  place.path.c_str());
}

// Opens the key's folder, trusted at every level from "/" as every configured folder is
// (Configuration/StateFolders.h); `make` makes it when missing. The key is then made, linked and
// read through this descriptor only. -1, with a log line, when refused or (without `make`)
// missing.
int OpenKeyFolder(const KeyPlace& place, bool make) {
  std::string err;
  const int fd = make ? kq::OpenConfiguredFolder(place.folder, err)
                      : kq::OpenTrustedFolder(place.folder, kq::TrustedFolderOptions{}, err);
  if (fd < 0 && !make && errno == ENOENT) {
    NoKeyYet(place);
  } else if (fd < 0) {
    RefuseKey("Refusing the key file [" + place.path + "]: " + err);
  }
  return fd;
}

// Reads the key from the folder open at folderFd. The file is opened without following a link
// and without waiting (a FIFO or a device in its place never blocks), and is used only when it
// is a regular file of this process's user (or root's) with mode 0600 holding exactly kKeyBytes:
// a key someone else planted, or one that others could read, is refused (in the log and once on
// stderr). A key that does not exist sets `missing` when given, else is logged as not made yet.
bool ReadKey(int folderFd, const KeyPlace& place, KeyBuffer& key, bool* missing = nullptr) {
  std::string err;
  struct stat st;
  kq::ScopedFd fd(kq::OpenOwnFileAt(folderFd, place.name, O_RDONLY, 0, true, place.path, err, &st));
  if (!fd.valid()) {
    if (errno == ENOENT) {
      if (missing != nullptr) *missing = true;
      else NoKeyYet(place);
      return false;
    }
    RefuseKey("Cannot use the key file: " + err);
    return false;
  }
  if ((st.st_mode & 07777) != 0600) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    RefuseKey("Key file [" + place.path + "] has mode [" + mode + "], not 0600");
    return false;
  }
  unsigned char extra = 0;
  size_t got = 0, more = 0;
  const bool ok = ReadAll(fd.get(), key.bytes, kKeyBytes, got) && got == kKeyBytes &&
                  ReadAll(fd.get(), &extra, 1, more) && more == 0;
  if (!ok) RefuseKey("Key file [" + place.path + "] does not hold a key");
  return ok;
}

// Makes a new file of ours with an unpredictable name beside the key: the key's name, "." and
// random letters. The descriptor, with the name in `temp`, or -1 with the reason in `err`.
int MakeTemporary(int folderFd, const KeyPlace& place, std::string& temp, std::string& err) {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 16; ++attempt) {
    unsigned char random[10];
    if (RAND_bytes(random, sizeof random) != 1) {
      err = "no random bytes for a temporary name";
      return -1;
    }
    temp = place.name + ".";
    for (unsigned char r : random) temp += kLetters[r % (sizeof kLetters - 1)];
    const int fd = kq::OpenOwnFileAt(folderFd, temp, O_WRONLY | O_CREAT | O_EXCL, 0600, false,
                                     place.path, err);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Makes the key file when it does not exist, then reads it. A new key is written whole under a
// temporary name beside the key file and linked to the key's name: the key file never exists
// half written, and linkat(2) never replaces, so of processes making it at once the first link
// wins and the others read its key.
bool MakeOrReadKey(int folderFd, const KeyPlace& place, KeyBuffer& key) {
  bool missing = false;
  if (ReadKey(folderFd, place, key, &missing)) return true;
  if (!missing) return false;  // a refused key is never replaced
  std::string temp, err;
  kq::ScopedFd fd(MakeTemporary(folderFd, place, temp, err));
  if (!fd.valid()) {
    EvDebug().Debug(kTag, "Cannot create the key file: %s", err.c_str());
    return false;
  }
  bool ok = ::fchmod(fd.get(), 0600) == 0 && RAND_bytes(key.bytes, kKeyBytes) == 1 &&
            CPxFile::WriteAllTo(fd.get(), key.bytes, kKeyBytes);
  ok = ::fsync(fd.get()) == 0 && ok;
  fd.reset();
  if (!ok) {
    EvDebug().Debug(kTag, "Cannot write key file [%s]", place.path.c_str());
    ::unlinkat(folderFd, temp.c_str(), 0);
    return false;
  }
  const int linked = ::linkat(folderFd, temp.c_str(), folderFd, place.name.c_str(), 0);
  const int error = errno;
  ::unlinkat(folderFd, temp.c_str(), 0);
  if (linked == 0) return true;
  if (error == EEXIST) return ReadKey(folderFd, place, key);  // another process made it first
  EvDebug().Debug(kTag, "Cannot put key file [%s] in place, errno [%d]", place.path.c_str(),
                  error);
  return false;
}

std::string Base64(const unsigned char* data, size_t n) {
  std::string out(4 * ((n + 2) / 3), '\0');
  int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), data, static_cast<int>(n));
  out.resize(len < 0 ? 0 : static_cast<size_t>(len));
  return out;
}

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '+' || c == '/';
}

// Strict base64: length a multiple of 4, only the alphabet, "=" only as the last one or two.
bool FromBase64(const std::string& text, std::vector<unsigned char>& out) {
  if (text.empty() || text.size() % 4 != 0) return false;
  size_t pad = 0;
  if (text[text.size() - 1] == '=') pad = text[text.size() - 2] == '=' ? 2 : 1;
  for (size_t k = 0; k < text.size() - pad; ++k)
    if (!IsBase64Char(text[k])) return false;
  out.assign(text.size() / 4 * 3, 0);
  int len = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
  if (len < 0 || static_cast<size_t>(len) < pad) return false;
  out.resize(static_cast<size_t>(len) - pad);
  return true;
}

}  // namespace

std::string KQPassword::keyFilePath() {
  std::string path;
  if (!KQPlatformInfo().getString("Security", "sPasswordKeyFile", path)) path.clear();
  return path;
}

int KQPassword::encrypt(const std::string& clear, std::string& encrypted) {
  KeyPlace place;
  if (!KeyPlaceOf(place)) return 0;
  const kq::ScopedFd folder(OpenKeyFolder(place, true));
  KeyBuffer key;
  if (!folder.valid() || !MakeOrReadKey(folder.get(), place, key)) return 0;
  std::vector<unsigned char> blob(kNonceBytes + clear.size() + kTagBytes);
  if (RAND_bytes(blob.data(), kNonceBytes) != 1) return 0;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (ctx == nullptr) return 0;
  int len = 0, tail = 0;
  bool ok = EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.bytes, blob.data()) == 1 &&
            EVP_EncryptUpdate(ctx, blob.data() + kNonceBytes, &len,
                              reinterpret_cast<const unsigned char*>(clear.data()),
                              static_cast<int>(clear.size())) == 1 &&
            EVP_EncryptFinal_ex(ctx, blob.data() + kNonceBytes + len, &tail) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, kTagBytes,
                                blob.data() + kNonceBytes + clear.size()) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) {
    EvDebug().Debug(kTag, "Encryption failed");
    return 0;
  }
  encrypted = Base64(blob.data(), blob.size());
  return 1;
}

int KQPassword::decrypt(const char* encrypted, char* clear, unsigned int& length) {
  if (clear == nullptr) return 0;
  const unsigned int limit = length;
  clear[0] = '\0';
  if (encrypted == nullptr) return 0;
  std::vector<unsigned char> blob;
  if (!FromBase64(encrypted, blob) || blob.size() < kNonceBytes + kTagBytes) {
    EvDebug().Debug(kTag, "The stored password is not in the expected form");
    return 0;
  }
  const size_t clearBytes = blob.size() - kNonceBytes - kTagBytes;
  if (clearBytes > limit) {
    EvDebug().Debug(kTag, "The stored password is longer than [%u] characters", limit);
    return 0;
  }
  KeyPlace place;
  if (!KeyPlaceOf(place)) return 0;
  const kq::ScopedFd folder(OpenKeyFolder(place, false));
  KeyBuffer key;
  if (!folder.valid() || !ReadKey(folder.get(), place, key)) return 0;
  std::vector<unsigned char> plain(clearBytes + 1);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (ctx == nullptr) return 0;
  int len = 0, tail = 0;
  std::vector<unsigned char> tag(blob.end() - kTagBytes, blob.end());
  bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.bytes, blob.data()) == 1 &&
            EVP_DecryptUpdate(ctx, plain.data(), &len, blob.data() + kNonceBytes,
                              static_cast<int>(clearBytes)) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, kTagBytes, tag.data()) == 1 &&
            EVP_DecryptFinal_ex(ctx, plain.data() + len, &tail) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok || static_cast<size_t>(len + tail) != clearBytes) {
    Wipe(plain.data(), plain.size());
    EvDebug().Debug(kTag, "The stored password was altered or made with another key");
    return 0;
  }
  std::memcpy(clear, plain.data(), clearBytes);
  clear[clearBytes] = '\0';
  Wipe(plain.data(), plain.size());
  length = static_cast<unsigned int>(clearBytes);
  return 1;
}
