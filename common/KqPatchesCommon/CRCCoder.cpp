#include "CRCCoder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include <isa-l/crc.h>

#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxFile.h"

namespace {

// The calling thread's read buffer, made on first use (null when it cannot be had).
unsigned char* ThreadReadBuffer() {
  thread_local std::unique_ptr<unsigned char[]> buffer;
  if (!buffer) buffer.reset(new (std::nothrow) unsigned char[CRCCoder::kReadSize]);
  return buffer.get();
}

}  // namespace

uint32_t KqCrc32(uint32_t crc, const void* data, size_t len) {
  if (len == 0) return crc;
  return crc32_gzip_refl(crc, static_cast<const unsigned char*>(data), len);
}

CRCCoder::CRCCoder() : method_(CRC_FILEMAP) { CreateCRCTable(); }

CRCCoder::CRCCoder(CRCMETHOD method) : method_(method) { CreateCRCTable(); }

CRCCoder::~CRCCoder() {
  delete[] table_;
  table_ = nullptr;
  method_ = CRC_FILEMAP;
}

void CRCCoder::CreateCRCTable() {
  // Computed once per process; every coder holds its own copy.
  struct Reference {
    unsigned long long entries[256];
    Reference() {
      for (unsigned long long i = 0; i < 256; ++i) {
        unsigned long long c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320ULL : c >> 1;
        entries[i] = c;
      }
    }
  };
  static const Reference reference;
  delete[] table_;
  table_ = new (std::nothrow) unsigned long long[256];
  if (table_ == nullptr) return;
  std::memcpy(table_, reference.entries, sizeof reference.entries);
}

bool CRCCoder::CalculateCRC(unsigned char byte, long& crc) {
  if (table_ == nullptr) return false;
  unsigned long long value = static_cast<unsigned long long>(crc);
  value = table_[(value ^ byte) & 0xFF] ^ (value >> 8);
  crc = static_cast<long>(value);
  return true;
}

bool CRCCoder::GetCheckSum(const char* path, long& crc) {
  if (path == nullptr || table_ == nullptr) return false;
  if (method_ == CRC_FILEMAP) return GetCheckSumFileMap(path, crc);
  return true;
}

bool CRCCoder::GetCheckSumFileMap(const char* path, long& crc) {
  // Only a regular file is read: a FIFO would block, a device never end.
  CPxFile file;
  uint64_t size = 0;
  CPxError e = file.OpenRegular(path, UINT64_MAX, &size);
  if (e.IsError()) {
    std::fprintf(stderr, "\nUnable to open file \"%s\" for reading:\n[%d] %s\n", path,
                 e.GetErrorCode(), e.c_str());
    return false;
  }
  return FoldOpenFile(file, size, crc);
}

bool CRCCoder::GetCheckSumAt(const CPxFolderHandle& folder, const std::string& name, long& crc, bool report) {
  if (table_ == nullptr) return false;
  if (method_ != CRC_FILEMAP) return true;
  uint64_t size = 0;
  CPxError e = file_.OpenRegularAt(folder, name, UINT64_MAX, &size);
  if (e.IsError()) {
    if (report)
      std::fprintf(stderr, "\nUnable to open file \"%s/%s\" for reading:\n[%d] %s\n", folder.path().c_str(),
                   name.c_str(), e.GetErrorCode(), e.c_str());
    return false;
  }
  const bool folded = FoldOpenFile(file_, size, crc, report);
  file_.Close();
  return folded;
}

bool CRCCoder::FoldOpenFile(CPxFile& file, uint64_t size, long& crc, bool report) {
  unsigned char* buffer = ThreadReadBuffer();
  if (buffer == nullptr) {
    if (report) std::fprintf(stderr, "\nUnable to allocate memory for file reading\n");
    return false;
  }
  uint32_t value = 0;
  uint64_t total = 0;
  while (true) {
    size_t got = 0;
    CPxError e = file.Read(buffer, kReadSize, &got);
    if (e.IsError()) {
      if (report)
        std::fprintf(stderr, "\nError while reading file [%s] Error code:\n[%d]\n", file.path().c_str(),
                     e.GetErrorCode());
      return false;
    }
    if (got == 0) break;
    value = KqCrc32(value, buffer, got);
    total += got;
    // A short read of a regular file that reached the size it had when opened is its end;
    // this spares the read that would only confirm it.
    if (got < kReadSize && total >= size) break;
  }
  // The complement of the running register: all ones above the 32-bit CRC.
  crc = static_cast<long>(0xFFFFFFFF00000000ULL | value);
  return true;
}
