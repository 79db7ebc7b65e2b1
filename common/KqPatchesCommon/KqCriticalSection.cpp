#include "KqCriticalSection.h"

#include <new>

#include "Concurrency/KqCriticalSectionH.h"

KqCriticalSection::KqCriticalSection() : m_handle(new (std::nothrow) KqCriticalSectionH()) {
  if (m_handle == nullptr || !m_handle->isValid()) {
    delete m_handle;
    m_handle = nullptr;
    throw "Not enough memory to initialize KqCriticalSection";
  }
}

KqCriticalSection::~KqCriticalSection() {
  delete m_handle;
  m_handle = nullptr;
}

bool KqCriticalSection::enter(bool wait) { return m_handle->enter(wait); }

bool KqCriticalSection::leave() { return m_handle->leave(); }

KqCriticalSectionLock::KqCriticalSectionLock(KqCriticalSection* section) : m_section(section) {
  if (m_section != nullptr) m_section->enter(true);
}

KqCriticalSectionLock::~KqCriticalSectionLock() {
  // leave() reports failure by its result and throws nothing.
  if (m_section != nullptr) m_section->leave();
}
