// Client builds of KQUpdates: the build text of each client, the download-center
// sub-directory of each release, and the "BUILD<n>" token of a build description.
#include <strings.h>

#include <cctype>

#include "Db/Proc/GetClientBuildAndReleaseInfo.h"
#include "KQUpdates.h"
#include "Logging/EvDebug.h"

namespace {

constexpr int kRow = 0;
constexpr int kHubnodeClient = 2;
constexpr int kFirstSiteRelease = 14;  // releases 13 and below have no site sub-directory
const char kBuildTag[] = "KQUpdates::getClientBuildAndVersionInfo";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

bool KQUpdates::getClientBuildAndVersionInfo() {
  GetClientBuildAndReleaseInfo record(nullptr);
  record.setValues(0);
  int count = 0;
  while (getNextRow(&record, &count, -1, 0) == kRow) {
    const GetClientBuildAndReleaseInfo_t* row = record.getDataPtr();
    if (row->buildStr_out[0] == '\0') {
      Log().Debug(kBuildTag, "Could not determine build number for client [%d]", row->ClientId_out);
      continue;
    }
    clientBuildVerInfo info;
    info.clientId = row->ClientId_out;
    info.releaseId = row->releaseId_out;
    info.build = row->buildStr_out;
    m_clientBuilds.push_back(info);
    Log().DebugLvl(kBuildTag, 10, "Client [%d] Version [%d] Build [%s]", info.clientId,
                   info.releaseId, info.build.c_str());
  }
  return true;
}

bool KQUpdates::getClientBuildAndVersionInfo(int clientId, clientBuildVerInfo& info) {
  GetClientBuildAndReleaseInfo record(nullptr);
  record.setValues(clientId);
  int count = 0;
  while (getNextRow(&record, &count, -1, 0) == kRow) {
    const GetClientBuildAndReleaseInfo_t* row = record.getDataPtr();
    info.clientId = row->ClientId_out;
    info.releaseId = row->releaseId_out;
    if (row->buildStr_out[0] == '\0') {
      Log().Debug(kBuildTag, "Could not determine build number for client [%d]", row->ClientId_out);
      continue;
    }
    info.build = row->buildStr_out;
    Log().DebugLvl(kBuildTag, 10, "Client [%d] Version [%d] Build [%s]", info.clientId,
                   info.releaseId, info.build.c_str());
    return true;
  }
  return false;
}

bool KQUpdates::setHNVersion() {
  clientBuildVerInfo info;
  if (!getClientBuildAndVersionInfo(kHubnodeClient, info)) return false;
  m_hnVersion = info.releaseId;
  m_hnBuild = info.build;
  return true;
}

bool KQUpdates::getSiteSubDirInfoForAllClients() {
  static const char kTag[] = "KQUpdates::getSiteSubDirInfoForAllClients";
  Log().Debug(kTag, "Called for # clients [%llu]",
              static_cast<unsigned long long>(m_clientRecords.size()));
  std::vector<clientBuildVerInfo> builds;
  for (const KQUpdatesNS::ClientReleaseIdSP* c : m_clientRecords) {
    clientBuildVerInfo info;
    if (c->clientId > 0 && getClientBuildAndVersionInfo(c->clientId, info)) builds.push_back(info);
  }
  for (const clientBuildVerInfo& b : builds) {
    auto it = m_siteSubDirs.find(b.releaseId);
    if (it != m_siteSubDirs.end()) {
      SiteSubDirInfo& entry = it->second;
      if (b.releaseId == m_hnVersion || entry.mismatch || entry.subDir == b.build) continue;
      Log().Debug(kTag,
                  "Build number does not match for client version [%d]: it is [%s] on server "
                  "but [%s] on local client",
                  b.releaseId, entry.subDir.c_str(), b.build.c_str());
      entry.mismatch = true;
    } else if (b.releaseId == m_hnVersion && b.clientId != kHubnodeClient) {
      Log().DebugLvl(kTag, 10,
                     "FOR HN release, initialize the site information using the build "
                     "information of HN");
    } else {
      m_siteSubDirs[b.releaseId] = SiteSubDirInfo{b.build, false};
      Log().DebugLvl(kTag, 10, "Added to Site Sub Dir Info[%d] [%s]", b.releaseId, b.build.c_str());
    }
  }
  return true;
}

bool KQUpdates::SetSiteSubDirInfo() {
  static const char kTag[] = "KQUpdates::SetSiteSubDirInfo";
  m_siteSubDirs.clear();
  for (const clientBuildVerInfo& b : m_clientBuilds) {
    if (b.clientId < 1 || b.releaseId < kFirstSiteRelease) continue;
    auto it = m_siteSubDirs.find(b.releaseId);
    if (it != m_siteSubDirs.end()) {
      SiteSubDirInfo& entry = it->second;
      if (entry.subDir == b.build) continue;
      if (b.releaseId == m_hnVersion) {
        Log().DebugLvl(kTag, 10,
                       "Ignoring build number mismatch for Hubnode release [%d]. Updates for "
                       "only Hubnode build would be downloaded",
                       b.releaseId);
      } else if (!entry.mismatch) {
        Log().Debug(kTag,
                    "Build number mismatch detected for version [%d]: it is [%s] on server but "
                    "[%s] on local client",
                    b.releaseId, entry.subDir.c_str(), b.build.c_str());
        entry.mismatch = true;
      }
    } else if (b.releaseId == m_hnVersion && b.clientId != kHubnodeClient) {
      Log().DebugLvl(kTag, 10, "Multiple build numbers found in Hubnode release [%d]", b.releaseId);
    } else {
      m_siteSubDirs[b.releaseId] = SiteSubDirInfo{b.build, false};
      Log().DebugLvl(kTag, 10, "Added to Site Sub Dir Info[%d] [%s]", b.releaseId, b.build.c_str());
    }
  }
  return true;
}

int KQUpdates::getSiteSubDirInfoForVersion(int releaseId, std::string& subDir) {
  static const char kTag[] = "KQUpdates::getSiteSubDirInfoForVersion";
  auto it = m_siteSubDirs.find(releaseId);
  if (it == m_siteSubDirs.end()) {
    Log().Debug(kTag, "No build number info for release [%d] found", releaseId);
    return 1;
  }
  if (it->second.mismatch) {
    Log().Debug(kTag, "Build number info is ambiguous for release [%d] found", releaseId);
    return 2;
  }
  subDir = it->second.subDir;
  return 0;
}

bool KQUpdates::getBuildStringTkn(const std::string& description, std::string& token) {
  static const char kTag[] = "KQUpdates::getBuildStringTkn";
  enum { kStart, kSkip, kOpen, kWord, kNumber, kDone, kError } state = kStart;
  std::string word, number, errorText;
  for (char c : description) {
    switch (state) {
      case kStart:
        state = c == '(' ? kOpen : IsBlank(c) ? kError : kSkip;
        break;
      case kSkip:
        if (c == '(') state = kOpen;
        break;
      case kOpen:
        if (c == 'B') {
          word += c;
          state = kWord;
        } else {
          state = kError;
        }
        break;
      case kWord:
        if (std::isdigit(static_cast<unsigned char>(c))) {
          number += c;
          state = kNumber;
        } else {
          word += c;
        }
        break;
      case kNumber:
        if (c == ')') state = kDone;
        else if (std::isdigit(static_cast<unsigned char>(c))) number += c;
        else state = kError;
        break;
      case kDone:
      case kError:
        break;
    }
    if (state == kError || state == kDone) break;
  }
  if (state != kDone) {
    if (state == kError) errorText += "Invalid character found in input string";
    Log().Debug(kTag, "Failed to get build number info from [%s]", description.c_str());
    return false;
  }
  if (strcasecmp(word.c_str(), "BUILD") != 0) {
    Log().Debug(kTag, "Failed to get build number info. Invalid build char string [%s]",
                word.c_str());
    return false;
  }
  token = "BUILD" + number;
  return true;
}
