// CRCCoder: the CRC-32 of a file, as the cache's file lists carry it.
//
// The coder keeps the reflected table of polynomial 0xEDB88320 (entries widened to 64 bits) for
// the byte-wise fold `CalculateCRC`; whole files are folded with the hardware-assisted engine,
// which gives the same values. `GetCheckSum` yields the file's CRC-32 in the low 32 bits of a
// 64-bit value whose high 32 bits are all ones (the complement of the running register).
//
// A coder is used by one thread at a time; files are read into one buffer per thread, made on
// the thread's first file and kept for its later ones. Failures are reported through the result
// and a line on standard error.
#ifndef KQ_COMMON_KQPATCHESCOMMON_CRCCODER_H_
#define KQ_COMMON_KQPATCHESCOMMON_CRCCODER_H_

#pragma GCC visibility push(default)

#include <cstddef>
#include <cstdint>
#include <string>

#include "PortableFiles/PxFile.h"

class CPxFolderHandle;

enum CRCMETHOD : int {
  CRC_FILEMAP = 0,  // read the file and fold it; the only method that computes
  CRC_METHOD_1 = 1,
  CRC_METHOD_2 = 2,
  CRC_METHOD_3 = 3,
};

class CRCCoder {
 public:
  CRCCoder();
  explicit CRCCoder(CRCMETHOD method);
  ~CRCCoder();
  CRCCoder(const CRCCoder&) = delete;
  CRCCoder& operator=(const CRCCoder&) = delete;

  // Folds one byte into the running register crc.
  bool CalculateCRC(unsigned char byte, long& crc);
  // The file's checksum (see above) in crc. False for a null path, a missing table or a file
  // that cannot be read; methods other than CRC_FILEMAP return true and leave crc untouched.
  bool GetCheckSum(const char* path, long& crc);
  bool GetCheckSumFileMap(const char* path, long& crc);
  // GetCheckSum of the entry `name` of an open folder, opened relative to it (method
  // CRC_FILEMAP only computes; the others return true and leave crc untouched). Without
  // `report`, a failure is not written to stderr.
  bool GetCheckSumAt(const CPxFolderHandle& folder, const std::string& name, long& crc, bool report = true);

  CRCMETHOD method() const { return method_; }
  const unsigned long long* table() const { return table_; }

  // Bytes read per system call: small enough that the buffer stays in the core's cache
  // between the read that fills it and the fold that reads it back.
  static constexpr size_t kReadSize = 262144;

 private:
  void CreateCRCTable();
  // Folds the open file (of `size` bytes when opened) into crc.
  static bool FoldOpenFile(CPxFile& file, uint64_t size, long& crc, bool report = true);

  unsigned long long* table_ = nullptr;
  CRCMETHOD method_;
  CPxFile file_;  // the file GetCheckSumAt reads; its path keeps its room for the next one
};

// The standard CRC-32 (reflected, polynomial 0x04C11DB7, initial and final XOR 0xFFFFFFFF) of
// len bytes, continuing from crc (0 to start).
uint32_t KqCrc32(uint32_t crc, const void* data, size_t len);

#pragma GCC visibility pop

#endif  // KQ_COMMON_KQPATCHESCOMMON_CRCCODER_H_
