// KQUpdateCache: the update-cache object a cache request is served with.
//
// The caller makes one for a request (job id, release-build flag) and calls its operations;
// they keep no state between calls. Every line the object logs carries its job id. The
// checksum operations (UpdateCacheChecksum.cpp) compute file CRC-32 texts and checksum whole
// folders as tasks of the job's checksum pool "CalcChecksumForClient", shared by every object
// of the same job (keyed by the low 32 bits of the job id) and removed when the last user
// releases it. The cache subsystems declare their operations on this class as well.
#ifndef KQ_COMMON_KQPATCHESCOMMON_KQUPDATECACHE_H_
#define KQ_COMMON_KQPATCHESCOMMON_KQUPDATECACHE_H_

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Events/EvEvent.h"
#include "Logging/EvDebug.h"
#include "Messages/UpdatePatches.h"
#include "PortableFiles/PxError.h"

class KqThreadPool;
class KQUpdateCache;

// One checksum task of the pool. The walk's template record carries the walked base folder as
// its relative name and the pool; each task record is a copy owned by the task it is given to.
struct CalcChecksumParams {
  std::string relativeName;
  std::string fullPath;
  bool isUnix = false;
  std::atomic<bool>* ok = nullptr;  // shared by the walk's tasks; only ever lowered to false
  unsigned long long jobId = 0;
  KQUpdateCache* owner = nullptr;
  std::mutex* mutex = nullptr;  // guards *out
  std::vector<UpdatePatches::File>* out = nullptr;
  EvDebug* log = nullptr;
  KqThreadPool* pool = nullptr;  // template only
  // Further files (relative name, full path) of the same task; in the template, the files
  // gathered for the next task.
  std::vector<std::pair<std::string, std::string>> more;
};

// Walk callback: gathers the files below the template's base folder into checksum tasks of a
// few files each and queues every full one.
CPxError CalcCheckSum(const char* dir, const char* name, bool isDir, void* context);
// Queues the files gathered in the template that no task holds yet.
void QueueGatheredChecksums(CalcChecksumParams* tpl);
// Pool task: checksums its files and appends their File entries; frees its record.
void CalcCheckSumForFileUsingTP(void* params);

class KQUpdateCache {
 public:
  KQUpdateCache(unsigned long jobId, bool releaseBuild);
  KQUpdateCache(unsigned long value, std::string text, unsigned long jobId, bool releaseBuild);
  ~KQUpdateCache();
  KQUpdateCache(const KQUpdateCache&) = delete;
  KQUpdateCache& operator=(const KQUpdateCache&) = delete;

  void doInit(bool releaseBuild);

  // ---- File checksums (UpdateCacheChecksum.cpp) ----

  // The CRC-32 text of one file: Unix form "0x%08llx" of the CRC's 32-bit complement, Windows
  // form "%llu" of the CRC. False (checksum untouched) when the file cannot be read.
  bool CalculateFileCksumForFile(bool isUnix, std::string path, std::string& checksum);
  // The same, in the form of the operating system (Unix for ids above 4).
  bool CalculateFileCksumForFile(int osId, std::string path, std::string& checksum);
  // Appends one File {name relative to dir, checksum text} per regular file below dir (or
  // dir + "/" + subPath), all levels or the first only, in the order the tasks finish. False
  // when the folder cannot be walked, a file fails or the pool cannot be had or joined; the
  // entries already appended stay.
  bool CalculateFileCksumForDir(std::string dir, std::string subPath, bool isUnix,
                                bool recursive, std::vector<UpdatePatches::File>& out);
  // The job's pool, made on first use and counted; null on failure.
  KqThreadPool* GetCheckFileTP(unsigned int jobId);
  // Drops one use of the job's pool; the last one destroys it. False when the job has none.
  bool ReleaseCheckFileTP(unsigned int jobId);

  unsigned long long jobId() const { return m_jobId; }
  bool releaseBuild() const { return m_releaseBuild; }
  EvDebug& log() { return m_event; }
  EvEvent& event() { return m_event; }

 private:
  unsigned long long m_value = 0;  // set only by the second constructor
  std::string m_text;              // set only by the second constructor
  unsigned long long m_jobId = 0;
  std::map<int, std::vector<int>> m_packageOsTypes;
  EvEvent m_event;  // the object's log and event text; lines carry m_jobId
  bool m_releaseBuild = false;
};

#endif  // KQ_COMMON_KQPATCHESCOMMON_KQUPDATECACHE_H_
