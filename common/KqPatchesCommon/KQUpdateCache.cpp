#include "KQUpdateCache.h"

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
