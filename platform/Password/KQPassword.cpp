#include "Password/KQPassword.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "Configuration/KQPlatformInfo.h"
#include "Logging/EvDebug.h"

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

// Reads the key. The file is opened without following a link and without waiting (a FIFO or a
// device in its place never blocks), and is used only when it is a regular file of this
// process's user with mode 0600 holding exactly kKeyBytes: a key someone else planted, or one
// that others could read, is refused.
bool ReadKey(const std::string& path, KeyBuffer& key) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    EvDebug().Debug(kTag, "Cannot open key file [%s], errno [%d]", path.c_str(), errno);
    return false;
  }
  struct stat st;
  bool ok = false;
  if (::fstat(fd, &st) != 0) {
    EvDebug().Debug(kTag, "Cannot examine key file [%s], errno [%d]", path.c_str(), errno);
  } else if (!S_ISREG(st.st_mode)) {
    EvDebug().Debug(kTag, "Key file [%s] is not a regular file", path.c_str());
  } else if (st.st_uid != ::geteuid()) {
    EvDebug().Debug(kTag, "Key file [%s] belongs to user [%u], not to this process's user [%u]",
                    path.c_str(), static_cast<unsigned>(st.st_uid),
                    static_cast<unsigned>(::geteuid()));
  } else if ((st.st_mode & 07777) != 0600) {
    EvDebug().Debug(kTag, "Key file [%s] has mode [%04o], not 0600", path.c_str(),
                    static_cast<unsigned>(st.st_mode & 07777));
  } else {
    unsigned char extra = 0;
    size_t got = 0, more = 0;
    ok = ReadAll(fd, key.bytes, kKeyBytes, got) && got == kKeyBytes &&
         ReadAll(fd, &extra, 1, more) && more == 0;
    if (!ok) EvDebug().Debug(kTag, "Key file [%s] does not hold a key", path.c_str());
  }
  ::close(fd);
  return ok;
}

// Makes the key file when it does not exist, then reads it. A new key is written whole under a
// temporary name beside the key file and linked to the key's name: the key file never exists
// half written, and link(2) never replaces, so of processes making it at once the first link
// wins and the others read its key.
bool MakeOrReadKey(const std::string& path, KeyBuffer& key) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) return ReadKey(path, key);
  if (errno != ENOENT) {
    EvDebug().Debug(kTag, "Cannot examine key file [%s], errno [%d]", path.c_str(), errno);
    return false;
  }
  std::string temp = path + ".XXXXXX";
  int fd = ::mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) {
    EvDebug().Debug(kTag, "Cannot create key file [%s], errno [%d]", path.c_str(), errno);
    return false;
  }
  bool ok = ::fchmod(fd, 0600) == 0 && RAND_bytes(key.bytes, kKeyBytes) == 1;
  size_t done = 0;
  while (ok && done < kKeyBytes) {
    ssize_t w = ::write(fd, key.bytes + done, kKeyBytes - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) ok = false;
    else done += static_cast<size_t>(w);
  }
  ok = ::fsync(fd) == 0 && ok;
  ::close(fd);
  if (!ok) {
    EvDebug().Debug(kTag, "Cannot write key file [%s]", path.c_str());
    ::unlink(temp.c_str());
    return false;
  }
  const int linked = ::link(temp.c_str(), path.c_str());
  const int error = errno;
  ::unlink(temp.c_str());
  if (linked == 0) return true;
  if (error == EEXIST) return ReadKey(path, key);  // another process made it first
  EvDebug().Debug(kTag, "Cannot put key file [%s] in place, errno [%d]", path.c_str(), error);
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
  const std::string path = keyFilePath();
  if (path.empty()) {
    EvDebug().Debug(kTag, "No password key file is configured");
    return 0;
  }
  KeyBuffer key;
  if (!MakeOrReadKey(path, key)) return 0;
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
  const std::string path = keyFilePath();
  if (path.empty()) {
    EvDebug().Debug(kTag, "No password key file is configured");
    return 0;
  }
  KeyBuffer key;
  if (!ReadKey(path, key)) return 0;
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
