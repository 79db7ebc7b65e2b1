// Converting an inventory to and from its flat message form, and freeing the message.
//
// Allocation is nothrow array new: a failure ends CacheStruct_Message with false, never with an
// exception. A count is written only once its array exists (its elements start null), so
// FreeCacheMessage can walk what the count covers and free every non-null pointer. Every loop
// over operating systems stops at the message's 14 entries, whatever release id it is given.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "KQUpdateCache.h"
#include "UpdateCacheMessage.h"
#include "UpdateUtils.h"

namespace {

const char kToMessageTag[] = "[CacheStruct_Message]";
const char kFromMessageTag[] = "[Message_CacheStruct]";

// The OS entries a release's message entry uses: its OS count, never more than the message holds.
int MessageOsCount(int relId) { return std::min(GetNumOSForRelease(relId), KQSP_OS_ENTRIES); }

char* CopyText(const std::string& text) {
  char* copy = new (std::nothrow) char[text.size() + 1];
  if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

std::string TextOf(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

// Fills one name unit from a list; false when memory runs out (what exists stays counted).
bool FillNames(const std::list<std::string>& names, int& count, KQSP_UpdateName*& array) {
  count = 0;
  array = nullptr;
  if (names.empty()) return true;
  array = new (std::nothrow) KQSP_UpdateName[names.size()];
  if (array == nullptr) return false;
  count = static_cast<int>(names.size());
  int i = 0;
  for (const std::string& name : names)
    if ((array[i++].name = CopyText(name)) == nullptr) return false;
  return true;
}

void DescriptorTexts(const KQSP_INIInfoForPatch& d, char* (&out)[6]) {
  out[0] = d.patchName, out[1] = d.packages, out[2] = d.rebootPackages;
  out[3] = d.requires, out[4] = d.obsoletes, out[5] = d.aliasName;
}

bool FillDescriptors(const std::list<INIInfoForPatch>& infos, int& count,
                     KQSP_INIInfoForPatch*& array) {
  count = 0;
  array = nullptr;
  if (infos.empty()) return true;
  array = new (std::nothrow) KQSP_INIInfoForPatch[infos.size()];
  if (array == nullptr) return false;
  count = static_cast<int>(infos.size());
  KQSP_INIInfoForPatch* d = array;
  for (const INIInfoForPatch& info : infos) {
    char** fields[6] = {&d->patchName, &d->packages, &d->rebootPackages,
                        &d->requires,  &d->obsoletes, &d->aliasName};
    const std::string* texts[6] = {&info.patchName, &info.packages,  &info.rebootPackages,
                                   &info.requires,  &info.obsoletes, &info.aliasName};
    for (int f = 0; f < 6; ++f)
      if ((*fields[f] = CopyText(*texts[f])) == nullptr) return false;
    d->spaceNeeded = info.spaceNeeded;
    d->isSPUpdate = info.isSPUpdate != 0 ? 1 : 0;
    ++d;
  }
  return true;
}

void FreeNames(int& count, KQSP_UpdateName*& array) {
  if (array != nullptr) {
    for (int i = 0; i < count; ++i) delete[] array[i].name;
    delete[] array;
  }
  array = nullptr;
  count = 0;
}

void FreeDescriptors(int& count, KQSP_INIInfoForPatch*& array) {
  if (array != nullptr) {
    char* texts[6];
    for (int i = 0; i < count; ++i) {
      DescriptorTexts(array[i], texts);
      for (char* text : texts) delete[] text;
    }
    delete[] array;
  }
  array = nullptr;
  count = 0;
}

void AppendNames(const KQSP_UpdateName* array, int count, std::list<std::string>& out) {
  if (array == nullptr) return;
  for (int i = 0; i < count; ++i) out.push_back(TextOf(array[i].name));
}

}  // namespace

bool KQUpdateCache::CacheStruct_Message(UpdatesAtCache* inv, KQSP_UpdatesAtCache* msg) {
  if (inv == nullptr || msg == nullptr) return false;
  auto fail = [this]() {
    m_event.DebugJob(1, kToMessageTag, m_jobId, "Failed to allocate memory");
    return false;
  };
  for (int r = 0; r < KQ_INVENTORY_RELEASES; ++r) {
    const int rowId = GetRelIdFromIndex(r);
    if (rowId >= 15) continue;  // releases from 15 on do not travel in this form
    const UpdatesForRelease& entry = inv->releases[r];
    KQSP_UpdatesForRelease& out = msg->releases[r];
    out.relId = entry.relId;
    out.numNeedOs = 0;
    out.needOs = nullptr;
    if (!entry.needOsForVersion.empty()) {
      out.needOs = new (std::nothrow) int[entry.needOsForVersion.size()];
      if (out.needOs == nullptr) return fail();
      std::copy(entry.needOsForVersion.begin(), entry.needOsForVersion.end(), out.needOs);
      out.numNeedOs = static_cast<int>(entry.needOsForVersion.size());
    }
    const int osCount = MessageOsCount(rowId);
    for (int o = 0; o < osCount; ++o) {
      const UpdatesForOS& slot = entry.osUpdates[o];
      KQSP_UpdatesForOS& os = out.osInfo[o];
      os.osId = slot.osId;
      os.spVersion = nullptr;
      os.numSPUpdates = 0;
      os.spUpdates = nullptr;
      if (slot.spVersion.GetMajor() > 0) {
        if ((os.spVersion = CopyText(slot.spVersion.ToStr(false))) == nullptr) return fail();
        os.valid = slot.valid ? 1 : 0;
      }
      if (!FillNames(slot.spUpdates, os.numSPUpdates, os.spUpdates)) return fail();
      if (!FillNames(slot.additionalUpdates, os.numAdditionalUpdates, os.additionalUpdates))
        return fail();
      if (!FillDescriptors(slot.iniInfos, os.numINIInfos, os.iniInfos)) return fail();
    }
  }
  return true;
}

bool KQUpdateCache::Message_CacheStruct(KQSP_UpdatesAtCache* msg, UpdatesAtCache* inv) {
  if (msg == nullptr || inv == nullptr) return true;
  InitCacheInfo(inv);
  for (int r = 0; r < KQ_INVENTORY_RELEASES; ++r) {
    const KQSP_UpdatesForRelease& in = msg->releases[r];
    UpdatesForRelease& entry = inv->releases[r];
    entry.relId = in.relId;
    if (in.relId == 0) continue;
    if (in.needOs != nullptr)
      for (int i = 0; i < in.numNeedOs; ++i) entry.needOsForVersion.push_back(in.needOs[i]);
    const int osCount = MessageOsCount(in.relId);
    for (int o = 0; o < osCount; ++o) {
      const KQSP_UpdatesForOS& os = in.osInfo[o];
      UpdatesForOS& slot = entry.osUpdates[o];
      slot.osId = os.osId;
      if (os.spVersion != nullptr && os.spVersion[0] != '\0') {
        const size_t length = strnlen(os.spVersion, KQSP_MAX_VERSION_TEXT + 1);
        _SPVersion version;
        if (length > static_cast<size_t>(KQSP_MAX_VERSION_TEXT)) {
          m_event.DebugJob(1, kFromMessageTag, m_jobId,
                           "Feature release version of release [%d] OS entry [%d] is longer "
                           "than [%d] characters; not read",
                           in.relId, o, KQSP_MAX_VERSION_TEXT);
        } else if (!_SPVersion::ParseSPName(std::string("SP") + os.spVersion, &version)) {
          m_event.DebugJob(1, kFromMessageTag, m_jobId,
                           "Feature release version [%s] of release [%d] OS entry [%d] is not a "
                           "version; not read",
                           os.spVersion, in.relId, o);
        } else {
          slot.spVersion = version;
          slot.valid = os.valid != 0;
        }
      }
      AppendNames(os.spUpdates, os.numSPUpdates, slot.spUpdates);
      AppendNames(os.additionalUpdates, os.numAdditionalUpdates, slot.additionalUpdates);
      if (os.iniInfos == nullptr) continue;
      for (int i = 0; i < os.numINIInfos; ++i) {
        KQSP_INIInfoForPatch& d = os.iniInfos[i];
        INIInfoForPatch info;
        info.patchName = TextOf(d.patchName);
        info.obsoletes = TextOf(d.obsoletes);
        info.packages = TextOf(d.packages);
        info.rebootPackages = TextOf(d.rebootPackages);
        info.requires = TextOf(d.requires);
        info.aliasName = TextOf(d.aliasName);
        info.spaceNeeded = d.spaceNeeded;
        info.isSPUpdate = d.isSPUpdate != 0 ? 1 : 0;
        slot.iniInfos.push_back(std::move(info));
      }
    }
  }
  return true;
}

bool KQUpdateCache::FreeCacheMessage(KQSP_UpdatesAtCache* msg) {
  if (msg == nullptr) return true;
  for (KQSP_UpdatesForRelease& entry : msg->releases) {
    entry.relId = 0;
    delete[] entry.needOs;
    entry.needOs = nullptr;
    entry.numNeedOs = 0;
    for (KQSP_UpdatesForOS& os : entry.osInfo) {
      os.osId = 0;
      delete[] os.spVersion;
      os.spVersion = nullptr;
      os.valid = 0;
      FreeNames(os.numAdditionalUpdates, os.additionalUpdates);
      FreeNames(os.numSPUpdates, os.spUpdates);
      FreeDescriptors(os.numINIInfos, os.iniInfos);
    }
  }
  return true;
}
