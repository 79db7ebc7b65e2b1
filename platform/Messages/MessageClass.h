// Machinery that turns a message family's class table into typed message classes.
//
// A family header lists its classes once, as an X-macro table:
//
//   #define KQ_FAMILY_CLASSES(C, F, O)
//     C(File, 83, F(Name, 1, 1) F(Checksum, 2, 5))
//     C(FilesForOS, 26, F(OSId, 1, 1) O(MediaFiles, 7, 7, 25))
//
// C names a class with its message id and fields; F a plain field (index, tag); O a nested
// object or object-list field (index, tag, message id of the nested class in the same
// subsystem). Each class becomes a CNMessageBase of its subsystem and id that adds no data:
// only a default constructor and one KqFieldId constant per field (File::kName, ...).
//
// Classes whose id was never fixed by the peers (they are only reached through a parent)
// carry ids from 1001 up, out of the range of the fixed ones.
#ifndef KQ_PLATFORM_MESSAGES_MESSAGECLASS_H_
#define KQ_PLATFORM_MESSAGES_MESSAGECLASS_H_

#pragma GCC visibility push(default)

#include <vector>

#include "Messages/CNMessageBase.h"

#define KQ_MSG_FIELD_CONSTANT(Name, Index, Tag) \
  static constexpr KqFieldId k##Name{Index, Tag, 0, 0};
#define KQ_MSG_OBJECT_CONSTANT(Name, Index, Tag, Id) \
  static constexpr KqFieldId k##Name{Index, Tag, kSubsystem, Id};

#define KQ_MSG_DECLARE_CLASS(Subsystem, Name, Id, ...)                              \
  class Name : public CNMessageBase {                                               \
   public:                                                                          \
    static constexpr int kSubsystem = Subsystem;                                    \
    static constexpr int kMessageId = Id;                                           \
    Name() : CNMessageBase(Subsystem, Id) {}                                        \
    explicit Name(const CNMessageBase& other) : CNMessageBase(other) {}             \
    Name& operator=(const CNMessageBase& other) {                                   \
      CNMessageBase::operator=(other);                                              \
      return *this;                                                                 \
    }                                                                               \
    __VA_ARGS__                                                                     \
  };

#define KQ_MSG_IGNORE(...)

// One row of a family's class list, for the registry.
struct KqMessageClassInfo {
  int subsystem;
  int id;
  const char* name;
};

// Records a family's classes (idempotent, thread-safe) and looks names up; used for readable
// log and error texts.
void KqRegisterMessageClasses(const KqMessageClassInfo* classes, size_t count);
// The registered name of a class, or null.
const char* KqMessageClassName(int subsystem, int id);

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_MESSAGES_MESSAGECLASS_H_
