// Versions as the messages carry them: an SPVersion holds the feature release with the
// database release id, an UpdatePack the maintenance release.
#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "Messages/UpdatePatches.h"
#include "Versions/FullVersion.h"
#include "nPatchDownload/CPatchInstallCommon.h"

namespace nPatchDownload {
namespace {

// Message numbers are 64-bit; the version's fields are 32-bit.
int Int32(long long v) {
  return static_cast<int>(std::min<long long>(std::max<long long>(v, INT_MIN), INT_MAX));
}

}  // namespace

void CPatchInstallCommon::SetUpdatePatchesSPVersion(const FullVersion& version,
                                                    CNMessageBase& sp) {
  using UpdatePatches::SPVersion;
  sp.setint64(SPVersion::kField6,
              ConvertReleaseNumToSimReleaseId(version.Get(FullVersion::kRelease)));
  sp.setint64(SPVersion::kField7, version.Get(FullVersion::kBuild));
  sp.setint64(SPVersion::kMajor, version.Get(FullVersion::kSPMajor));
  sp.setint64(SPVersion::kField2, version.Get(FullVersion::kSPMinor));
  sp.setint64(SPVersion::kTransactionId, version.Get(FullVersion::kTransactionId));
  sp.setint64(SPVersion::kRevisionId, version.Get(FullVersion::kRevisionId));
}

FullVersion CPatchInstallCommon::GetVersionFromSPVersion(const CNMessageBase& sp) {
  using UpdatePatches::SPVersion;
  FullVersion v;
  v.Set(FullVersion::kRelease,
        ConvertSimReleaseIdToReleaseNum(Int32(sp.getint64(SPVersion::kField6))));
  v.Set(FullVersion::kBuild, Int32(sp.getint64(SPVersion::kField7)));
  v.Set(FullVersion::kSPMajor, Int32(sp.getint64(SPVersion::kMajor)));
  v.Set(FullVersion::kSPMinor, Int32(sp.getint64(SPVersion::kField2)));  // a non-letter: none
  v.Set(FullVersion::kTransactionId, Int32(sp.getint64(SPVersion::kTransactionId)));
  v.Set(FullVersion::kRevisionId, Int32(sp.getint64(SPVersion::kRevisionId)));
  return v;
}

void CPatchInstallCommon::SetUPVersionFromUpdatePack(const CNMessageBase& up,
                                                     FullVersion& version) {
  using UpdatePatches::UpdatePack;
  version.Set(FullVersion::kUPNumber, Int32(up.getint64(UpdatePack::kNumber)));
  version.Set(FullVersion::kUPTransactionId, Int32(up.getint64(UpdatePack::kField2)));
  version.SetStr(FullVersion::kUPFriendlyName, up.getstring(UpdatePack::kField5));
}

void CPatchInstallCommon::RemoveNewLines(std::string& text) {
  // Texts written by the encoder are one line: find the first line end before moving bytes.
  const char* data = text.data();
  const void* lf = std::memchr(data, '\n', text.size());
  const void* cr = std::memchr(data, '\r', text.size());
  if (lf == nullptr && cr == nullptr) return;
  const char* at = static_cast<const char*>(lf == nullptr   ? cr
                                            : cr == nullptr ? lf
                                                            : std::min(lf, cr));
  const size_t first = static_cast<size_t>(at - data);
  size_t out = first;
  for (size_t in = first; in < text.size(); ++in)
    if (!IsNewLine(text[in])) text[out++] = text[in];
  text.resize(out);
}

}  // namespace nPatchDownload
