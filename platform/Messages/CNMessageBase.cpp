#include "Messages/CNMessageBase.h"

#include <algorithm>

#include "Messages/MessageXml.h"

namespace {

const std::string& EmptyString() {
  static const std::string empty;
  return empty;
}

}  // namespace

KqMessageField::KqMessageField(const KqMessageField& other)
    : index(other.index),
      tag(other.tag),
      kind(other.kind),
      encryptType(other.encryptType),
      number(other.number),
      text(other.text),
      payload(other.payload ? new KqFieldPayload(*other.payload) : nullptr) {}

KqMessageField::KqMessageField(KqMessageField&& other) noexcept = default;

KqMessageField& KqMessageField::operator=(const KqMessageField& other) {
  if (this != &other) {
    KqMessageField copy(other);
    *this = std::move(copy);
  }
  return *this;
}

KqMessageField& KqMessageField::operator=(KqMessageField&& other) noexcept = default;

KqMessageField::~KqMessageField() = default;

bool KqMessageField::operator==(const KqMessageField& other) const {
  if (index != other.index || tag != other.tag || kind != other.kind) return false;
  switch (kind) {
    case KqFieldKind::kString:
      return text == other.text;
    case KqFieldKind::kPString:
      return text == other.text && encryptType == other.encryptType;
    case KqFieldKind::kInt64:
      return number == other.number;
    default:
      return *payload == *other.payload;
  }
}

CNMessageBase::CNMessageBase() : subsystem_(0), id_(0) {}

CNMessageBase::~CNMessageBase() = default;

KqMessageField* CNMessageBase::findByTag(int tag) {
  for (auto& f : fields_)
    if (f.tag == tag) return &f;
  return nullptr;
}

const KqMessageField* CNMessageBase::findByTag(int tag) const {
  for (const auto& f : fields_)
    if (f.tag == tag) return &f;
  return nullptr;
}

const KqMessageField* CNMessageBase::findByIndex(int index) const {
  for (const auto& f : fields_)
    if (f.index == index) return &f;
  return nullptr;
}

KqMessageField& CNMessageBase::fieldFor(int index, int tag, KqFieldKind kind) {
  KqMessageField* f = findByTag(tag);
  if (f == nullptr) {
    fields_.emplace_back(index, tag, kind);
    return fields_.back();
  }
  f->index = index;
  if (f->kind != kind) *f = KqMessageField(index, tag, kind);
  return *f;
}

std::string CNMessageBase::getstring(int index, int tag, unsigned, unsigned) const {
  return getstringByRef(index, tag);
}

const std::string& CNMessageBase::getstringByRef(int, int tag, unsigned, unsigned) const {
  const KqMessageField* f = findByTag(tag);
  if (f == nullptr || f->kind != KqFieldKind::kString) return EmptyString();
  return f->text;
}

void CNMessageBase::setstring(int index, int tag, const std::string& value, unsigned, unsigned) {
  std::string copy(value);  // value may live in this message
  fieldFor(index, tag, KqFieldKind::kString).text = std::move(copy);
}

void CNMessageBase::setstring(const KqFieldId& f, std::string&& v) {
  std::string taken(std::move(v));  // v may be a field of this message, moved before it moves
  fieldFor(f.index, f.tag, KqFieldKind::kString).text = std::move(taken);
}

long long CNMessageBase::getint64(int tag, unsigned, unsigned) const {
  const KqMessageField* f = findByTag(tag);
  if (f == nullptr || f->kind != KqFieldKind::kInt64) return 0;
  return f->number;
}

void CNMessageBase::setint64(int index, int tag, long long value, unsigned, unsigned) {
  fieldFor(index, tag, KqFieldKind::kInt64).number = value;
}

std::vector<int>* CNMessageBase::getlistint(int index, int tag, unsigned, unsigned) {
  return &fieldFor(index, tag, KqFieldKind::kIntList).payload->ints;
}

const std::vector<int>* CNMessageBase::getlistint(int, int tag, unsigned, unsigned) const {
  static const std::vector<int> empty;
  const KqMessageField* f = findByTag(tag);
  if (f == nullptr || f->kind != KqFieldKind::kIntList) return &empty;
  return &f->payload->ints;
}

void CNMessageBase::setlistint(int index, int tag, const std::vector<int>& values, unsigned,
                               unsigned) {
  std::vector<int> copy(values);
  fieldFor(index, tag, KqFieldKind::kIntList).payload->ints = std::move(copy);
}

std::vector<std::string>* CNMessageBase::getliststring(int index, int tag, unsigned, unsigned) {
  return &fieldFor(index, tag, KqFieldKind::kStringList).payload->strings;
}

const std::vector<std::string>* CNMessageBase::getliststring(int, int tag, unsigned,
                                                             unsigned) const {
  static const std::vector<std::string> empty;
  const KqMessageField* f = findByTag(tag);
  if (f == nullptr || f->kind != KqFieldKind::kStringList) return &empty;
  return &f->payload->strings;
}

void CNMessageBase::setliststring(int index, int tag, const std::vector<std::string>& values,
                                  unsigned, unsigned) {
  std::vector<std::string> copy(values);
  fieldFor(index, tag, KqFieldKind::kStringList).payload->strings = std::move(copy);
}

std::vector<CNMessageBase>* CNMessageBase::getlistobject(int index, int tag, unsigned, unsigned,
                                                         bool) {
  return &fieldFor(index, tag, KqFieldKind::kObjectList).payload->objects;
}

const std::vector<CNMessageBase>* CNMessageBase::getlistobject(int, int tag, unsigned, unsigned,
                                                               bool) const {
  static const std::vector<CNMessageBase> empty;
  const KqMessageField* f = findByTag(tag);
  if (f == nullptr || f->kind != KqFieldKind::kObjectList) return &empty;
  return &f->payload->objects;
}

void CNMessageBase::setlistobject(int index, int tag, const std::vector<CNMessageBase>* values,
                                  unsigned, unsigned) {
  if (values == nullptr) {
    KqMessageField* f = findByTag(tag);
    if (f != nullptr) fields_.erase(fields_.begin() + (f - fields_.data()));
    return;
  }
  // Copy first: values may point into this very message.
  std::vector<CNMessageBase> copy(*values);
  fieldFor(index, tag, KqFieldKind::kObjectList).payload->objects = std::move(copy);
}

CNMessageBase* CNMessageBase::getObjectAccessor(bool, bool, int index, int tag, unsigned,
                                                unsigned, int subsystem, int id) {
  KqMessageField* f = findByTag(tag);
  if (f != nullptr && f->kind == KqFieldKind::kObject) {
    f->index = index;
    return &f->payload->object;
  }
  KqMessageField& made = fieldFor(index, tag, KqFieldKind::kObject);
  made.payload->object = CNMessageBase(subsystem, id);
  return &made.payload->object;
}

const CNMessageBase* CNMessageBase::getObjectAccessor(int, int tag) const {
  const KqMessageField* f = findByTag(tag);
  if (f == nullptr || f->kind != KqFieldKind::kObject) return nullptr;
  return &f->payload->object;
}

void CNMessageBase::setObjectAccessor(const void* message, int index, int tag, unsigned,
                                      unsigned) {
  if (message == nullptr) {
    KqMessageField* f = findByTag(tag);
    if (f != nullptr) fields_.erase(fields_.begin() + (f - fields_.data()));
    return;
  }
  // Copy first: the message may be nested in this one.
  CNMessageBase copy(*static_cast<const CNMessageBase*>(message));
  fieldFor(index, tag, KqFieldKind::kObject).payload->object = std::move(copy);
}

bstring CNMessageBase::getpstringobject(int, int tag, unsigned, unsigned) const {
  const KqMessageField* f = findByTag(tag);
  if (f == nullptr || f->kind != KqFieldKind::kPString) return bstring();
  return f->text;
}

void CNMessageBase::setpstringobject(int index, int tag, const bstring& value,
                                     Annotation::PasswordEncryptType type, unsigned, unsigned) {
  bstring copy(value);
  KqMessageField& f = fieldFor(index, tag, KqFieldKind::kPString);
  f.text = std::move(copy);
  f.encryptType = static_cast<int>(type);
}

int CNMessageBase::getpstringEncryptType(int, int tag) const {
  const KqMessageField* f = findByTag(tag);
  if (f == nullptr || f->kind != KqFieldKind::kPString) return 0;
  return f->encryptType;
}

bool CNMessageBase::isSet(int index, unsigned, unsigned) const {
  return findByIndex(index) != nullptr;
}

void CNMessageBase::unset(int index, unsigned, unsigned) {
  fields_.erase(std::remove_if(fields_.begin(), fields_.end(),
                               [index](const KqMessageField& f) { return f.index == index; }),
                fields_.end());
}

int CNMessageBase::serialize(std::string& xml, bool flag) const {
  return XMLEncoder::serialize(*this, xml, flag);
}

int CNMessageBase::unserialize(const std::string& xml) {
  return XMLDecoder::unSerialize(*this, xml, nullptr);
}

bool CNMessageBase::operator==(const CNMessageBase& other) const {
  return subsystem_ == other.subsystem_ && id_ == other.id_ && fields_ == other.fields_;
}
