#include "KQUpdateCache.h"

#include "Vocabulary.h"

KQUpdateCache::KQUpdateCache(unsigned long jobId, bool releaseBuild) : m_jobId(jobId) {
  doInit(releaseBuild);
}

KQUpdateCache::KQUpdateCache(unsigned long value, std::string text, unsigned long jobId,
                             bool releaseBuild)
    : m_value(value), m_text(std::move(text)), m_jobId(jobId) {
  doInit(releaseBuild);
}

KQUpdateCache::~KQUpdateCache() = default;

void KQUpdateCache::doInit(bool releaseBuild) { m_releaseBuild = releaseBuild; }

bool KQUpdateCache::VocabularyReady(unsigned tables, const char* tag) {
  std::string missing;
  if (VocabularyFilled(tables, missing)) return true;
  m_event.DebugJob(0, tag, static_cast<long long>(m_jobId), "Cannot walk the cache: %s",
                   missing.c_str());
  return false;
}
