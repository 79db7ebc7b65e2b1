// KQPassword: the stored form of passwords kept in the Hubnode database (the download site's
// FTP password, for one).
//
// A stored text is base64 of a 12-byte nonce, the AES-256-GCM cipher text and its 16-byte tag.
// The key is 32 random bytes in a file that the configuration store names
// ("Security"/"sPasswordKeyFile", an absolute path); encrypt makes that file, mode 0600, when it
// does not exist yet (and its folder, 0700, when missing), decrypt only reads it. The key's
// folder is trusted as every configured folder is (Configuration/StateFolders.h: every level
// from "/" a real folder of root or this user that nobody else may write in), and the key is
// made, linked and read through that folder's descriptor, never through the path again. A key
// file is used only when it is a regular file of the process's own user (or root's) with mode
// 0600; anything else, and a refused folder, fails encrypt and decrypt with a log line and one
// line on stderr. A refused configuration store names no key file: both fail, saying so.
// Processes making the key at once all end up with the same key. Nothing here logs a clear text
// or the key.
#ifndef KQ_PLATFORM_PASSWORD_KQPASSWORD_H_
#define KQ_PLATFORM_PASSWORD_KQPASSWORD_H_

#pragma GCC visibility push(default)

#include <string>

class KQPassword {
 public:
  // Decrypts `encrypted` into `clear`. On entry `length` is the most characters `clear` may
  // take, not counting the terminator (the buffer holds at least length + 1 bytes); on success
  // it is the clear text's length. Returns non-zero on success. Fails (0) on a text that is not
  // ours, was altered or was made with another key, on a missing, unreadable or refused key,
  // and on a clear text longer than the limit. Never writes more than length + 1 bytes and
  // always terminates `clear` (empty on failure).
  static int decrypt(const char* encrypted, char* clear, unsigned int& length);

  // Encrypts `clear` into its stored form, making the key file when there is none. Non-zero on
  // success; `encrypted` is untouched on failure.
  static int encrypt(const std::string& clear, std::string& encrypted);

  // The key file the configuration store names; empty when it names none.
  static std::string keyFilePath();
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_PASSWORD_KQPASSWORD_H_
