// CNMessageBase: one structured message of the product's message families.
//
// A message is a value: its message subsystem and id name its class, and it holds a list of
// fields, each known by its index (place in the class's field table, from 1) and its tag (the
// number it is written under in XML). Fields are found by tag; the index is recorded beside it,
// because some accessors pass only one of the two. A message keeps every field it was given or
// parsed, also those that its class does not use, so a message read and written again loses
// nothing.
//
// Ownership: a message owns its fields. List and nested-object fields live in a separate heap
// block owned by the field, so the pointers returned by getlistobject, getlistint,
// getliststring and getObjectAccessor stay valid while further fields are added to the same
// message (until that field is replaced, unset, or the message is assigned or destroyed).
//
// The class and field hash arguments of the accessors exist for the generated call sites; they
// are accepted and not checked. Typed classes (UpdatePatches::File, ...) add only a constructor
// and their field table as KqFieldId constants (MessageClass.h).
#ifndef KQ_PLATFORM_MESSAGES_CNMESSAGEBASE_H_
#define KQ_PLATFORM_MESSAGES_CNMESSAGEBASE_H_

#pragma GCC visibility push(default)

#include <memory>
#include <string>
#include <vector>

namespace Annotation {
// How a protected string field is to be kept by the peers that read it. The type is carried
// with the value; this library stores and writes the value as given.
enum PasswordEncryptType { PasswordEncryptNone = 0, PasswordEncryptStandard = 1 };
}  // namespace Annotation

// Text of a protected (password) field.
typedef std::string bstring;

// One field of a message class: index and tag, and for object and object-list fields the
// subsystem and message id of the nested class (0 for plain fields).
struct KqFieldId {
  int index;
  int tag;
  int subsystem;
  int id;
};

enum class KqFieldKind : unsigned char {
  kString = 1,
  kInt64,
  kIntList,
  kStringList,
  kObjectList,
  kObject,
  kPString,
};

class CNMessageBase;

// The heap part of a list or nested-object field; its address never changes while it lives.
struct KqFieldPayload;

// One field as stored in a message. Plain values sit in the record; lists and nested objects
// in the payload.
struct KqMessageField {
  KqMessageField(int index, int tag, KqFieldKind kind);
  KqMessageField(const KqMessageField& other);
  KqMessageField(KqMessageField&& other) noexcept;
  KqMessageField& operator=(const KqMessageField& other);
  KqMessageField& operator=(KqMessageField&& other) noexcept;
  ~KqMessageField();

  int index;
  int tag;
  KqFieldKind kind;
  int encryptType = 0;             // protected strings only
  long long number = 0;            // kInt64
  std::string text;                // kString and kPString
  std::unique_ptr<KqFieldPayload> payload;  // lists and objects

  bool operator==(const KqMessageField& other) const;
};

class CNMessageBase {
 public:
  CNMessageBase();  // subsystem 0, id 0: for containers that need a default value
  CNMessageBase(int subsystem, int id) : subsystem_(subsystem), id_(id) {}
  CNMessageBase(const CNMessageBase& other) = default;
  CNMessageBase(CNMessageBase&& other) noexcept = default;
  CNMessageBase& operator=(const CNMessageBase& other) = default;
  CNMessageBase& operator=(CNMessageBase&& other) noexcept = default;
  virtual ~CNMessageBase();

  int getSubsystem() const { return subsystem_; }
  int getMessageId() const { return id_; }

  // Strings. A missing field, or one of another kind, reads as the empty text. The reference of
  // getstringByRef is valid until the next field is added to this message.
  std::string getstring(int index, int tag, unsigned classHash = 0, unsigned fieldHash = 0) const;
  const std::string& getstringByRef(int index, int tag, unsigned classHash = 0,
                                    unsigned fieldHash = 0) const;
  void setstring(int index, int tag, const std::string& value, unsigned classHash = 0,
                 unsigned fieldHash = 0);

  // 64-bit integers, read by tag alone. A missing field reads as 0.
  long long getint64(int tag, unsigned classHash = 0, unsigned fieldHash = 0) const;
  void setint64(int index, int tag, long long value, unsigned classHash = 0,
                unsigned fieldHash = 0);

  // Lists. The non-const getters create an empty list field when none is present and never
  // return null; the const getters return an empty list for a missing field.
  std::vector<int>* getlistint(int index, int tag, unsigned classHash = 0, unsigned fieldHash = 0);
  const std::vector<int>* getlistint(int index, int tag, unsigned classHash = 0,
                                     unsigned fieldHash = 0) const;
  void setlistint(int index, int tag, const std::vector<int>& values, unsigned classHash = 0,
                  unsigned fieldHash = 0);
  std::vector<std::string>* getliststring(int index, int tag, unsigned classHash = 0,
                                          unsigned fieldHash = 0);
  const std::vector<std::string>* getliststring(int index, int tag, unsigned classHash = 0,
                                                unsigned fieldHash = 0) const;
  void setliststring(int index, int tag, const std::vector<std::string>& values,
                     unsigned classHash = 0, unsigned fieldHash = 0);
  // The flag is accepted for the generated call sites (false where they only read); the list
  // field is created on first access either way.
  std::vector<CNMessageBase>* getlistobject(int index, int tag, unsigned classHash = 0,
                                            unsigned fieldHash = 0, bool forWrite = false);
  const std::vector<CNMessageBase>* getlistobject(int index, int tag, unsigned classHash = 0,
                                                  unsigned fieldHash = 0,
                                                  bool forWrite = false) const;
  // Copies the vector in; a null pointer removes the field.
  void setlistobject(int index, int tag, const std::vector<CNMessageBase>* values,
                     unsigned classHash = 0, unsigned fieldHash = 0);

  // Nested message of the given subsystem and id, made (empty) when absent. The two flags are
  // accepted for the generated call sites. A present nested message is returned as it is.
  CNMessageBase* getObjectAccessor(bool create, bool forWrite, int index, int tag,
                                   unsigned classHash, unsigned fieldHash, int subsystem, int id);
  // Null when absent.
  const CNMessageBase* getObjectAccessor(int index, int tag) const;
  // Copies *message (a CNMessageBase) in; a null pointer removes the field.
  void setObjectAccessor(const void* message, int index, int tag, unsigned classHash = 0,
                         unsigned fieldHash = 0);

  // Protected (password) strings.
  bstring getpstringobject(int index, int tag, unsigned classHash = 0,
                           unsigned fieldHash = 0) const;
  void setpstringobject(int index, int tag, const bstring& value,
                        Annotation::PasswordEncryptType type, unsigned classHash = 0,
                        unsigned fieldHash = 0);
  int getpstringEncryptType(int index, int tag) const;

  // Presence of the field with that index.
  bool isSet(int index, unsigned classHash = 0, unsigned fieldHash = 0) const;
  // Removes the field with that index, if any.
  void unset(int index, unsigned classHash = 0, unsigned fieldHash = 0);
  // Removes every field; the class stays.
  void clear() { fields_.clear(); }

  // The same accessors by field constant (UpdatePatches::File::kName and so on).
  std::string getstring(const KqFieldId& f) const { return getstring(f.index, f.tag); }
  const std::string& getstringByRef(const KqFieldId& f) const {
    return getstringByRef(f.index, f.tag);
  }
  void setstring(const KqFieldId& f, const std::string& v) { setstring(f.index, f.tag, v); }
  // Takes the text over instead of copying it.
  void setstring(const KqFieldId& f, std::string&& v);
  long long getint64(const KqFieldId& f) const { return getint64(f.tag); }
  void setint64(const KqFieldId& f, long long v) { setint64(f.index, f.tag, v); }
  std::vector<int>* getlistint(const KqFieldId& f) { return getlistint(f.index, f.tag); }
  const std::vector<int>* getlistint(const KqFieldId& f) const {
    return getlistint(f.index, f.tag);
  }
  void setlistint(const KqFieldId& f, const std::vector<int>& v) { setlistint(f.index, f.tag, v); }
  std::vector<std::string>* getliststring(const KqFieldId& f) {
    return getliststring(f.index, f.tag);
  }
  const std::vector<std::string>* getliststring(const KqFieldId& f) const {
    return getliststring(f.index, f.tag);
  }
  void setliststring(const KqFieldId& f, const std::vector<std::string>& v) {
    setliststring(f.index, f.tag, v);
  }
  std::vector<CNMessageBase>* getlistobject(const KqFieldId& f) {
    return getlistobject(f.index, f.tag);
  }
  const std::vector<CNMessageBase>* getlistobject(const KqFieldId& f) const {
    return getlistobject(f.index, f.tag);
  }
  void setlistobject(const KqFieldId& f, const std::vector<CNMessageBase>& v) {
    setlistobject(f.index, f.tag, &v);
  }
  CNMessageBase* getObjectAccessor(const KqFieldId& f) {
    return getObjectAccessor(true, true, f.index, f.tag, 0, 0, f.subsystem, f.id);
  }
  const CNMessageBase* getObjectAccessor(const KqFieldId& f) const {
    return getObjectAccessor(f.index, f.tag);
  }
  void setObjectAccessor(const KqFieldId& f, const CNMessageBase& m) {
    setObjectAccessor(&m, f.index, f.tag);
  }
  bstring getpstringobject(const KqFieldId& f) const { return getpstringobject(f.index, f.tag); }
  bool isSet(const KqFieldId& f) const { return isSet(f.index); }
  void unset(const KqFieldId& f) { unset(f.index); }

  // XML text of the whole message (0 on success). The flag is accepted for the generated call
  // sites and changes nothing: the text is always one line.
  int serialize(std::string& xml, bool flag = false) const;
  // Replaces this message by the one in the text; the text's root must be of this message's
  // subsystem and id. Non-zero on any fault, and this message is then unchanged.
  int unserialize(const std::string& xml);

  // The fields in the order they were added or parsed (for the XML coder and for dumps).
  const std::vector<KqMessageField>& fields() const { return fields_; }
  // Appends a field as the XML reader builds it; the caller has checked the tag is new.
  KqMessageField& appendField(int index, int tag, KqFieldKind kind) {
    fields_.emplace_back(index, tag, kind);
    return fields_.back();
  }
  void reserveFields(size_t n) { fields_.reserve(n); }

  bool operator==(const CNMessageBase& other) const;
  bool operator!=(const CNMessageBase& other) const { return !(*this == other); }

 private:
  KqMessageField* findByTag(int tag);
  const KqMessageField* findByTag(int tag) const;
  const KqMessageField* findByIndex(int index) const;
  // The field with that tag made to be of the given kind (created, or reset when it held
  // another kind); its index is updated.
  KqMessageField& fieldFor(int index, int tag, KqFieldKind kind);

  int subsystem_;
  int id_;
  std::vector<KqMessageField> fields_;
};

struct KqFieldPayload {
  std::vector<int> ints;
  std::vector<std::string> strings;
  std::vector<CNMessageBase> objects;
  CNMessageBase object;

  bool operator==(const KqFieldPayload& other) const {
    return ints == other.ints && strings == other.strings && objects == other.objects &&
           object == other.object;
  }
};

// Defined here, after the payload, so that the message reader's many field constructions are
// inlined.
inline KqMessageField::KqMessageField(int index_, int tag_, KqFieldKind kind_)
    : index(index_), tag(tag_), kind(kind_) {
  if (kind == KqFieldKind::kIntList || kind == KqFieldKind::kStringList ||
      kind == KqFieldKind::kObjectList || kind == KqFieldKind::kObject)
    payload.reset(new KqFieldPayload());
}

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_MESSAGES_CNMESSAGEBASE_H_
