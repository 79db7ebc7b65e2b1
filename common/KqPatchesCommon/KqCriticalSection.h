// KqCriticalSection: the library's lock inside the process, re-entrant for its holder.
//
// Each guarded table or registry owns one, usually as a static object. It owns its platform
// handle; it cannot be copied (a copy would share the handle and free it twice).
// KqCriticalSectionLock holds a section for the length of a scope; made with null it does
// nothing. It cannot be copied either (a copy would leave the section once too often).
#ifndef KQ_COMMON_KQPATCHESCOMMON_KQCRITICALSECTION_H_
#define KQ_COMMON_KQPATCHESCOMMON_KQCRITICALSECTION_H_

#pragma GCC visibility push(default)

class KqCriticalSectionH;

class KqCriticalSection {
 public:
  // Throws the text "Not enough memory to initialize KqCriticalSection" (a const char*)
  // when no handle can be made.
  KqCriticalSection();
  ~KqCriticalSection();
  KqCriticalSection(const KqCriticalSection&) = delete;
  KqCriticalSection& operator=(const KqCriticalSection&) = delete;

  // wait true blocks until the calling thread holds the section; false only tries.
  // Returns whether it holds it.
  bool enter(bool wait);
  bool leave();

 private:
  KqCriticalSectionH* m_handle;
};

class KqCriticalSectionLock {
 public:
  explicit KqCriticalSectionLock(KqCriticalSection* section);
  ~KqCriticalSectionLock();
  KqCriticalSectionLock(const KqCriticalSectionLock&) = delete;
  KqCriticalSectionLock& operator=(const KqCriticalSectionLock&) = delete;

 private:
  KqCriticalSection* m_section;
};

#pragma GCC visibility pop

#endif  // KQ_COMMON_KQPATCHESCOMMON_KQCRITICALSECTION_H_
