#include "nPatchDownload/LoadXmlFromFile.h"

#include <cerrno>
#include <new>

#include "PortableFiles/PxFile.h"
#include "nPatchDownload/CPatchInstallCommon.h"

namespace nPatchDownload {

bool ReadMessageFileText(const std::string& path, unsigned long long maxBytes, std::string& text,
                         tMessageFileError& error) {
  error = tMessageFileError();
  if (!CPatchInstallCommon::IsFileExisted(path)) {
    error.missing = true;
    return false;
  }
  // A regular file only, and at most maxBytes of it: a FIFO put in its place is not waited on,
  // and a huge file is refused before it takes the memory of the process.
  CPxError e;
  try {
    e = CPxFile::ReadRegular(path, maxBytes, text);
  } catch (const std::bad_alloc&) {
    error.code = ENOMEM;
    error.text = "no memory to read the file";
    return false;
  }
  if (e.IsError()) {
    error.code = e.GetErrorCode();
    error.text = e.c_str();
    SPxFileStat info;
    if (error.code == EFBIG && !CPxFile::Stat(path, info).IsError()) {
      error.text = "[" + std::to_string(static_cast<long long>(info.size)) +
                   "] bytes, more than the [" + std::to_string(maxBytes) + "] allowed";
    }
    return false;
  }
  CPatchInstallCommon::RemoveNewLines(text);
  return true;
}

}  // namespace nPatchDownload
