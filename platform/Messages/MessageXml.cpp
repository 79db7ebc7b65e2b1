#include "Messages/MessageXml.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <pugixml.hpp>

#include "Messages/MessageTextScan.h"

namespace {

// ---- writing ----

void AppendInt(std::string& out, long long value) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

// Replacement text of each byte that cannot stand as it is (empty: the byte itself).
struct EscapeTable {
  char text[256][8];
  EscapeTable() {
    std::memset(text, 0, sizeof text);
    for (int c = 1; c < 0x20; ++c) std::snprintf(text[c], sizeof text[c], "&#%d;", c);
    std::snprintf(text[0x7f], sizeof text[0x7f], "&#127;");
    std::strcpy(text[static_cast<int>('&')], "&amp;");
    std::strcpy(text[static_cast<int>('<')], "&lt;");
    std::strcpy(text[static_cast<int>('>')], "&gt;");
  }
};

const EscapeTable& Escapes() {
  static const EscapeTable table;
  return table;
}

void AppendEscaped(std::string& out, const std::string& s) {
  const EscapeTable& esc = Escapes();
  const char* p = s.data();
  size_t start = 0;
  for (size_t k = 0; k < s.size(); ++k) {
    const char* rep = esc.text[static_cast<unsigned char>(p[k])];
    if (rep[0] == '\0') continue;
    out.append(p + start, k - start);
    out.append(rep);
    start = k + 1;
  }
  out.append(p + start, s.size() - start);
}

bool HasNul(const std::string& s) { return std::memchr(s.data(), '\0', s.size()) != nullptr; }

void AppendHex(std::string& out, const std::string& s) {
  static const char digits[] = "0123456789abcdef";
  for (unsigned char c : s) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
}

// Opens a field element: <name i=".." t=".."  (left open for more attributes).
void OpenField(std::string& out, const char* name, const KqMessageField& f) {
  out.push_back('<');
  out.append(name);
  out.append(" i=\"");
  AppendInt(out, f.index);
  out.append("\" t=\"");
  AppendInt(out, f.tag);
  out.push_back('"');
}

// Writes the rest of a text-valued element: its NUL marker, content and end tag.
void AppendTextElement(std::string& out, const char* name, const std::string& value) {
  if (value.empty()) {
    out.append("/>");
    return;
  }
  if (HasNul(value)) {
    out.append(" x=\"1\">");
    AppendHex(out, value);
  } else {
    out.push_back('>');
    AppendEscaped(out, value);
  }
  out.append("</");
  out.append(name);
  out.push_back('>');
}

void AppendClassAttributes(std::string& out, const CNMessageBase& m) {
  out.append(" s=\"");
  AppendInt(out, m.getSubsystem());
  out.append("\" id=\"");
  AppendInt(out, m.getMessageId());
  out.push_back('"');
}

int WriteFields(std::string& out, const CNMessageBase& m, int depth);

int WriteMessage(std::string& out, const CNMessageBase& m, int depth) {
  out.append("<m");
  AppendClassAttributes(out, m);
  out.push_back('>');
  int rc = WriteFields(out, m, depth);
  out.append("</m>");
  return rc;
}

int WriteFields(std::string& out, const CNMessageBase& m, int depth) {
  if (depth > kMaxMessageDepth) return kMsgErrDepth;
  for (const KqMessageField& f : m.fields()) {
    switch (f.kind) {
      case KqFieldKind::kString:
        OpenField(out, "s", f);
        AppendTextElement(out, "s", f.text);
        break;
      case KqFieldKind::kPString:
        OpenField(out, "ps", f);
        out.append(" e=\"");
        AppendInt(out, f.encryptType);
        out.push_back('"');
        AppendTextElement(out, "ps", f.text);
        break;
      case KqFieldKind::kInt64:
        OpenField(out, "i", f);
        out.push_back('>');
        AppendInt(out, f.number);
        out.append("</i>");
        break;
      case KqFieldKind::kIntList: {
        OpenField(out, "li", f);
        out.push_back('>');
        bool first = true;
        for (int v : f.payload->ints) {
          if (!first) out.push_back(' ');
          first = false;
          AppendInt(out, v);
        }
        out.append("</li>");
        break;
      }
      case KqFieldKind::kStringList:
        OpenField(out, "ls", f);
        out.push_back('>');
        for (const std::string& v : f.payload->strings) {
          out.append("<v");
          AppendTextElement(out, "v", v);
        }
        out.append("</ls>");
        break;
      case KqFieldKind::kObjectList:
        OpenField(out, "lo", f);
        out.push_back('>');
        for (const CNMessageBase& element : f.payload->objects) {
          int rc = WriteMessage(out, element, depth + 1);
          if (rc != kMsgOk) return rc;
        }
        out.append("</lo>");
        break;
      case KqFieldKind::kObject: {
        OpenField(out, "o", f);
        AppendClassAttributes(out, f.payload->object);
        out.push_back('>');
        int rc = WriteFields(out, f.payload->object, depth + 1);
        if (rc != kMsgOk) return rc;
        out.append("</o>");
        break;
      }
    }
  }
  return kMsgOk;
}

// ---- reading ----

struct Attrs {
  const char* i = nullptr;
  const char* t = nullptr;
  const char* s = nullptr;
  const char* id = nullptr;
  const char* e = nullptr;
  const char* x = nullptr;
};

// The loops over attributes and child nodes end on the empty attribute's name "" (no parsed
// attribute has an empty name) and the empty node's type node_null, which saves a call into
// the library per step.
void GetAttrs(pugi::xml_node n, Attrs& a) {
  for (pugi::xml_attribute at = n.first_attribute();; at = at.next_attribute()) {
    const char* nm = at.name();
    switch (nm[0]) {
      case '\0':
        return;
      case 'i':
        if (nm[1] == '\0') a.i = at.value();
        else if (nm[1] == 'd' && nm[2] == '\0') a.id = at.value();
        break;
      case 't':
        if (nm[1] == '\0') a.t = at.value();
        break;
      case 's':
        if (nm[1] == '\0') a.s = at.value();
        break;
      case 'e':
        if (nm[1] == '\0') a.e = at.value();
        break;
      case 'x':
        if (nm[1] == '\0') a.x = at.value();
        break;
      default:
        break;
    }
  }
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// ParseNumber for any text but the plain form.
__attribute__((noinline)) bool ParseNumberInGeneral(const char* p, long long lo, long long hi,
                                                    long long& out) {
  while (IsBlank(*p)) ++p;
  const char* end = p + std::strlen(p);
  while (end > p && IsBlank(end[-1])) --end;
  if (p < end && *p == '+') ++p;
  if (p == end) return false;
  long long v = 0;
  auto r = std::from_chars(p, end, v);
  if (r.ec != std::errc() || r.ptr != end || v < lo || v > hi) return false;
  out = v;
  return true;
}

// A whole decimal number between lo and hi, with optional blanks around it. The form the
// writer makes (an optional minus and up to 18 digits, nothing around them) is read here in
// one pass; everything else takes the general path.
inline bool ParseNumber(const char* p, long long lo, long long hi, long long& out) {
  if (p == nullptr) return false;
  const char* q = p;
  const bool negative = *q == '-';
  if (negative) ++q;
  unsigned long long v = 0;
  int digits = 0;
  for (; digits < 18 && IsDigit(*q); ++digits) v = v * 10 + static_cast<unsigned>(*q++ - '0');
  if (*q != '\0' || digits == 0) return ParseNumberInGeneral(p, lo, hi, out);
  const long long value = negative ? -static_cast<long long>(v) : static_cast<long long>(v);
  if (value < lo || value > hi) return false;
  out = value;
  return true;
}

bool ParseIntInGeneral(const char* p, int& out) {
  long long v = 0;
  if (!ParseNumber(p, INT_MIN, INT_MAX, v)) return false;
  out = static_cast<int>(v);
  return true;
}

// Indexes, tags and class ids are mostly one or two digits.
inline bool ParseInt(const char* p, int& out) {
  if (p != nullptr && IsDigit(p[0])) {
    if (p[1] == '\0') {
      out = p[0] - '0';
      return true;
    }
    if (IsDigit(p[1]) && p[2] == '\0') {
      out = (p[0] - '0') * 10 + (p[1] - '0');
      return true;
    }
  }
  return ParseIntInGeneral(p, out);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The field element kinds, told apart by their one- or two-letter names.
enum class FieldElement { kUnknown, kString, kInt64, kPString, kIntList, kStringList, kObjectList,
                          kObject };

FieldElement FieldElementOf(const char* name) {
  switch (name[0]) {
    case 's':
      return name[1] == '\0' ? FieldElement::kString : FieldElement::kUnknown;
    case 'i':
      return name[1] == '\0' ? FieldElement::kInt64 : FieldElement::kUnknown;
    case 'o':
      return name[1] == '\0' ? FieldElement::kObject : FieldElement::kUnknown;
    case 'p':
      return name[1] == 's' && name[2] == '\0' ? FieldElement::kPString : FieldElement::kUnknown;
    case 'l':
      if (name[1] == '\0' || name[2] != '\0') return FieldElement::kUnknown;
      if (name[1] == 'i') return FieldElement::kIntList;
      if (name[1] == 's') return FieldElement::kStringList;
      if (name[1] == 'o') return FieldElement::kObjectList;
      return FieldElement::kUnknown;
    default:
      return FieldElement::kUnknown;
  }
}

// pugixml lays a document's nodes and attributes out in memory in document order, and names
// and values stay in its copy of the text, also in order. A long list of messages is read from
// memory that the parse wrote long before; asking for what lies a few messages ahead of the
// one being read hides most of the waits. (A hint only: nothing is read through it.)
void PrefetchAhead(pugi::xml_node n, const char* name) {
  const uintptr_t nodes = reinterpret_cast<uintptr_t>(n.internal_object());
  for (uintptr_t k = 512; k < 1152; k += 64)
    __builtin_prefetch(reinterpret_cast<const void*>(nodes + k));
  const uintptr_t text = reinterpret_cast<uintptr_t>(name);
  for (uintptr_t k = 192; k < 384; k += 64)
    __builtin_prefetch(reinterpret_cast<const void*>(text + k));
}

bool IsNamed(const char* name, char letter) { return name[0] == letter && name[1] == '\0'; }

// The name of a child node, and its type when it is no element. The reader's parse options
// leave only elements, texts and CDATA sections in a document, and of these only elements have
// names, so most children take one call into the library here instead of two.
const char* ChildName(pugi::xml_node c, pugi::xml_node_type& type) {
  const char* name = c.name();
  type = name[0] != '\0' ? pugi::node_element : c.type();
  return name;
}

// Returned inside the reader only: the document has to be parsed again without embedded
// texts (see Reader).
constexpr int kRetryPlain = -1;

// Reading on several threads: only in a document of at least kParallelDocumentBytes, only a list
// of at least kParallelListElements messages, on at most kMaxReadThreads threads, which take
// ranges of kRangeChildren children in turn (small enough that a thread held up by the
// machine's other work delays the others little).
constexpr size_t kParallelDocumentBytes = 1 << 20;
constexpr size_t kParallelListElements = 512;
constexpr size_t kMaxReadThreads = 4;
constexpr size_t kRangeChildren = 64;

class ReadCrew;

// The value of an element that has none, as pugixml returns it.
const char* NoValue() {
  static const char* const none = pugi::xml_node().value();
  return none;
}

// Builds messages from a parsed document. The element children of the elements being read are
// kept on one stack (nodes_), with their names, so that each element's children are walked once.
//
// A document is first parsed the quick way (see Decode): with parse_embed_pcdata, the text
// that comes first in an element is stored as the element's value instead of as a child node,
// which saves a node for every value. Read that way, an element with such a text and no
// children stands for an element with one text child, and the reader treats it so. An element
// with both (text mixed with elements, comments or more text; never written by XMLEncoder)
// can differ in its whitespace handling from the plain parse, so the reader gives up on it
// with kRetryPlain and the text is parsed and read again the plain way. Either way the result
// is the one the plain way gives.
class Reader {
 public:
  // With a crew, long lists of messages are read on its threads too (see ReadObjectList).
  Reader(KqXMLContextInfo* context, bool embedded, ReadCrew* crew)
      : context_(context), embedded_(embedded), crew_(crew), noValue_(NoValue()) {
    nodes_.reserve(64);
  }

  int Fail(int code, const std::string& what) {
    if (context_ != nullptr) {
      context_->result = code;
      context_->error = what;
    }
    return code;
  }

  // Builds the fields of a message element (an "m" or an "o") into m.
  // The indexes and tags of the fields one message has so far, to refuse a repeated one in
  // constant time. Fields mostly come in rising order of both: then no earlier field can share
  // either, and the two largest are all that is kept. From the first field out of that order on,
  // every index and tag goes into a hash set.
  struct SeenFields {
    int maxIndex = INT_MIN;
    int maxTag = INT_MIN;
    struct Sets {
      std::unordered_set<int> indexes;
      std::unordered_set<int> tags;
    };
    std::unique_ptr<Sets> hashed;  // made at the first field out of order

    bool Repeated(const CNMessageBase& m, int index, int tag) {
      if (!hashed) {
        if (index > maxIndex && tag > maxTag) {
          maxIndex = index;
          maxTag = tag;
          return false;
        }
        hashed.reset(new Sets());
        for (const KqMessageField& f : m.fields()) {
          hashed->indexes.insert(f.index);
          hashed->tags.insert(f.tag);
        }
      }
      const bool newIndex = hashed->indexes.insert(index).second;
      const bool newTag = hashed->tags.insert(tag).second;
      return !newIndex || !newTag;
    }
  };

  int ReadFields(pugi::xml_node node, CNMessageBase& m, int depth) {
    if (depth > kMaxMessageDepth) return Fail(kMsgErrDepth, "messages nested too deep");
    const char* text = nullptr;
    if (EmbeddedText(node, text) != kMsgOk) return kRetryPlain;
    if (text != nullptr) {
      // A message element with nothing but text in it.
      if (!IsBlankValue(text)) return Fail(kMsgErrStructure, "text where fields were expected");
      m.reserveFields(0);
      return kMsgOk;
    }
    // Reading stops at the first element that is no field, so the children after it are not
    // kept and no field is reserved for them: a document of many unknown elements costs no
    // more than its parse.
    const size_t first = nodes_.size();
    bool unknown = false;
    for (pugi::xml_node c = node.first_child();; c = c.next_sibling()) {
      pugi::xml_node_type type;
      const char* name = ChildName(c, type);
      if (type == pugi::node_null) break;
      if (type == pugi::node_element) {
        if (unknown) continue;
        nodes_.push_back(Child{c, name});
        unknown = FieldElementOf(name) == FieldElement::kUnknown;
      } else if (!IsBlankText(c, type)) {
        nodes_.resize(first);
        return Fail(kMsgErrStructure, "text where fields were expected");
      }
    }
    const size_t last = nodes_.size();
    m.reserveFields(last - first - (unknown ? 1 : 0));
    int rc = kMsgOk;
    SeenFields seen;
    for (size_t k = first; k < last && rc == kMsgOk; ++k) {
      rc = ReadField(nodes_[k].node, nodes_[k].name, m, depth, seen);
    }
    nodes_.resize(first);
    return rc;
  }

  // The subsystem and id of a message element.
  int ReadClass(const Attrs& a, int& subsystem, int& id) {
    if (!ParseInt(a.s, subsystem) || !ParseInt(a.id, id))
      return Fail(a.s == nullptr || a.id == nullptr ? kMsgErrStructure : kMsgErrNumber,
                  "message without a valid subsystem and id");
    return kMsgOk;
  }

 private:
  static bool IsBlankValue(const char* p) {
    for (; *p; ++p)
      if (!IsBlank(*p)) return false;
    return true;
  }

  // Whether a child node holds no text but blanks (nodes other than text hold none).
  static bool IsBlankText(pugi::xml_node c, pugi::xml_node_type type) {
    if (type != pugi::node_pcdata && type != pugi::node_cdata) return true;
    return IsBlankValue(c.value());
  }

  // The embedded text of an element into text (null when it has none). kRetryPlain when the
  // element also has children.
  int EmbeddedText(pugi::xml_node n, const char*& text) const {
    text = nullptr;
    if (!embedded_) return kMsgOk;
    const char* value = n.value();
    if (value == noValue_) return kMsgOk;
    if (n.first_child()) return kRetryPlain;
    text = value;
    return kMsgOk;
  }

  // The text content of a value element (no child elements allowed).
  int ReadText(pugi::xml_node c, const Attrs& a, std::string& out) {
    const char* v = nullptr;
    if (EmbeddedText(c, v) != kMsgOk) return kRetryPlain;
    if (v == nullptr) {
      v = "";
      pugi::xml_node t = c.first_child();
      const pugi::xml_node_type type = t.type();
      if (type != pugi::node_null) {
        if (t.next_sibling() || (type != pugi::node_pcdata && type != pugi::node_cdata))
          return Fail(kMsgErrStructure, std::string("unexpected content in <") + c.name() + ">");
        v = t.value();
      }
    }
    if (a.x != nullptr && std::strcmp(a.x, "1") == 0) {
      size_t n = std::strlen(v);
      if (n % 2 != 0) return Fail(kMsgErrStructure, "odd hexadecimal value");
      out.resize(n / 2);
      for (size_t k = 0; k < n; k += 2) {
        int hi = HexValue(v[k]);
        int lo = HexValue(v[k + 1]);
        if (hi < 0 || lo < 0) return Fail(kMsgErrStructure, "bad hexadecimal value");
        out[k / 2] = static_cast<char>(hi * 16 + lo);
      }
    } else {
      out.clear();
      out.append(v, std::strlen(v));
    }
    return kMsgOk;
  }

  int ReadField(pugi::xml_node c, const char* name, CNMessageBase& m, int depth,
                SeenFields& seen) {
    Attrs a;
    GetAttrs(c, a);
    int index = 0;
    int tag = 0;
    if (a.i == nullptr || a.t == nullptr)
      return Fail(kMsgErrStructure, std::string("field <") + name + "> without index or tag");
    if (!ParseInt(a.i, index) || !ParseInt(a.t, tag))
      return Fail(kMsgErrNumber, "field index or tag is not a number");
    if (seen.Repeated(m, index, tag))
      return Fail(kMsgErrStructure, "field index or tag " + std::to_string(tag) + " repeated");

    switch (FieldElementOf(name)) {
      case FieldElement::kString: {
        KqMessageField& f = m.appendField(index, tag, KqFieldKind::kString);
        return ReadText(c, a, f.text);
      }
      case FieldElement::kInt64: {
        KqMessageField& f = m.appendField(index, tag, KqFieldKind::kInt64);
        const char* text = nullptr;
        if (EmbeddedText(c, text) != kMsgOk) return kRetryPlain;
        if (text == nullptr) {
          pugi::xml_node t = c.first_child();
          if (t && t.next_sibling()) return Fail(kMsgErrStructure, "unexpected content in <i>");
        }
        if (!ParseNumber(c.child_value(), LLONG_MIN, LLONG_MAX, f.number))
          return Fail(kMsgErrNumber, "bad number in field " + std::to_string(tag));
        return kMsgOk;
      }
      case FieldElement::kPString: {
        KqMessageField& f = m.appendField(index, tag, KqFieldKind::kPString);
        if (a.e != nullptr && !ParseInt(a.e, f.encryptType))
          return Fail(kMsgErrNumber, "bad protection type in field " + std::to_string(tag));
        return ReadText(c, a, f.text);
      }
      case FieldElement::kIntList: {
        KqMessageField& f = m.appendField(index, tag, KqFieldKind::kIntList);
        return ReadIntList(c, f.payload->ints, tag);
      }
      case FieldElement::kStringList: {
        KqMessageField& f = m.appendField(index, tag, KqFieldKind::kStringList);
        return ReadStringList(c, f.payload->strings);
      }
      case FieldElement::kObjectList: {
        KqMessageField& f = m.appendField(index, tag, KqFieldKind::kObjectList);
        return ReadObjectList(c, f.payload->objects, depth);
      }
      case FieldElement::kObject: {
        if (depth + 1 > kMaxMessageDepth) return Fail(kMsgErrDepth, "messages nested too deep");
        KqMessageField& f = m.appendField(index, tag, KqFieldKind::kObject);
        KqFieldPayload* payload = f.payload.get();  // stable while m grows
        int subsystem = 0;
        int id = 0;
        int rc = ReadClass(a, subsystem, id);
        if (rc != kMsgOk) return rc;
        payload->object = CNMessageBase(subsystem, id);
        return ReadFields(c, payload->object, depth + 1);
      }
      case FieldElement::kUnknown:
        break;
    }
    return Fail(kMsgErrStructure, std::string("unknown field element <") + name + ">");
  }

  int ReadStringList(pugi::xml_node c, std::vector<std::string>& list) {
    const char* text = nullptr;
    if (EmbeddedText(c, text) != kMsgOk) return kRetryPlain;
    if (text != nullptr)
      return IsBlankValue(text) ? kMsgOk : Fail(kMsgErrStructure, "text in a string list");
    for (pugi::xml_node v = c.first_child();; v = v.next_sibling()) {
      pugi::xml_node_type type;
      const char* name = ChildName(v, type);
      if (type == pugi::node_null) break;
      if (type != pugi::node_element) {
        if (IsBlankText(v, type)) continue;
        return Fail(kMsgErrStructure, "text in a string list");
      }
      if (!IsNamed(name, 'v')) return Fail(kMsgErrStructure, "unexpected element in a string list");
      Attrs va;
      GetAttrs(v, va);
      list.emplace_back();
      int rc = ReadText(v, va, list.back());
      if (rc != kMsgOk) return rc;
    }
    return kMsgOk;
  }

  // A child node of an object list, and whether it is an element.
  struct ListChild {
    pugi::xml_node node;
    bool element;
  };

  // The children of the list are gathered first (on a stack of list children), so the list is
  // allocated once at its size and each element is built in its own slot. A list that reaches
  // kParallelListElements elements in a large document is read on several threads instead
  // (ReadListInParallel). Gathering asks each child only for its type: its name lies elsewhere
  // in memory, and is asked for where the element is read.
  int ReadObjectList(pugi::xml_node c, std::vector<CNMessageBase>& list, int depth) {
    const char* text = nullptr;
    if (EmbeddedText(c, text) != kMsgOk) return kRetryPlain;
    if (text != nullptr)
      return IsBlankValue(text) ? kMsgOk : Fail(kMsgErrStructure, "text in an object list");
    const size_t first = listNodes_.size();
    size_t elements = 0;
    for (pugi::xml_node e = c.first_child();; e = e.next_sibling()) {
      const pugi::xml_node_type type = e.type();
      if (type == pugi::node_null) break;
      const bool element = type == pugi::node_element;
      listNodes_.push_back(ListChild{e, element});
      if (element && ++elements == kParallelListElements && crew_ != nullptr) {
        std::vector<ListChild> head(listNodes_.begin() + first, listNodes_.end());
        listNodes_.resize(first);
        return ReadListInParallel(std::move(head), list, depth);
      }
    }
    list.resize(elements);
    const int rc = ReadListElements(listNodes_, first, listNodes_.size(), list.data(), depth);
    listNodes_.resize(first);
    return rc;
  }

  // Reads the children children[from, to) of an object list, its elements into slots[0, ...).
  // The children are taken by index: reading an element pushes onto listNodes_, which may be
  // children itself.
  int ReadListElements(const std::vector<ListChild>& children, size_t from, size_t to,
                       CNMessageBase* slots, int depth) {
    for (size_t k = from; k < to; ++k) {
      const pugi::xml_node e = children[k].node;
      if (!children[k].element) {
        if (IsBlankText(e, e.type())) continue;
        return Fail(kMsgErrStructure, "text in an object list");
      }
      const char* name = e.name();
      PrefetchAhead(e, name);
      if (!IsNamed(name, 'm')) return Fail(kMsgErrStructure, "unexpected element in an object list");
      if (depth + 1 > kMaxMessageDepth) return Fail(kMsgErrDepth, "messages nested too deep");
      Attrs ea;
      GetAttrs(e, ea);
      int subsystem = 0;
      int id = 0;
      int rc = ReadClass(ea, subsystem, id);
      if (rc != kMsgOk) return rc;
      CNMessageBase& slot = *slots++;
      slot = CNMessageBase(subsystem, id);
      rc = ReadFields(e, slot, depth + 1);
      if (rc != kMsgOk) return rc;
    }
    return kMsgOk;
  }

  // Reads a long list on the crew's threads and this one (see ReadCrew::ReadList).
  int ReadListInParallel(std::vector<ListChild> head, std::vector<CNMessageBase>& list,
                         int depth);

  int ReadIntList(pugi::xml_node c, std::vector<int>& out, int tag) {
    const char* text = nullptr;
    if (EmbeddedText(c, text) != kMsgOk) return kRetryPlain;
    if (text == nullptr) {
      pugi::xml_node t = c.first_child();
      if (t && (t.next_sibling() || t.type() != pugi::node_pcdata))
        return Fail(kMsgErrStructure, "unexpected content in <li>");
    }
    const char* p = c.child_value();
    while (true) {
      while (IsBlank(*p)) ++p;
      if (*p == '\0') break;
      const char* start = p;
      while (*p != '\0' && !IsBlank(*p)) ++p;
      if (*start == '+') ++start;
      int v = 0;
      auto r = std::from_chars(start, p, v);
      if (start == p || r.ec != std::errc() || r.ptr != p)
        return Fail(kMsgErrNumber, "bad number in list field " + std::to_string(tag));
      out.push_back(v);
    }
    return kMsgOk;
  }

  KqXMLContextInfo* context_;
  bool embedded_;  // the document was parsed with parse_embed_pcdata
  ReadCrew* crew_;  // reads long lists with this reader, or null
  const char* noValue_;
  // An element child met while walking a message's children, with its name.
  struct Child {
    pugi::xml_node node;
    const char* name;
  };
  std::vector<Child> nodes_;
  std::vector<ListChild> listNodes_;

  friend class ReadCrew;
};

// The helper threads that read the long lists of one large document with the thread decoding
// it: at most kMaxReadThreads threads in all, and no more than the machine has. They are
// started before the document is parsed, so that their start-up (and each one's reader) is
// done by the time the first long list is read, and serve every long list of the document, one
// list at a time. The decoding thread owns the crew; the helpers are joined when it is
// destroyed, so none outlives the decode.
//
// A list is read in ranges of kRangeChildren contiguous children: the decoding thread gathers
// the list and hands out the ranges as it goes, the helpers read them as they come, each with a
// reader of its own (nested lists are read within a range), and the decoding thread reads the
// ranges left once it has gathered the last, then waits until no helper is still reading one.
// Once parsed, the document is only read, and each range builds its own messages, which are
// moved into the list in order.
//
// The result is the serial reading's: every range before the first failed one was read whole,
// so that range's failure is the first in document order, and it is reported with its code and
// text. Ranges after a failed one are not read. An exception thrown while reading a range is
// re-thrown on the decoding thread once the list is done.
class ReadCrew {
 public:
  using ListChild = Reader::ListChild;

  explicit ReadCrew(bool embedded) : embedded_(embedded) {
    const unsigned cores = std::thread::hardware_concurrency();
    const size_t threads = std::max<size_t>(1, std::min<size_t>(kMaxReadThreads, cores));
    helpers_.reserve(threads - 1);
    for (size_t t = 1; t < threads; ++t) {
      try {
        helpers_.emplace_back([this] { Serve(); });
      } catch (...) {
        // No more threads to be had (or no memory for one): the ones running, and the decoding
        // thread, read every range.
        break;
      }
    }
  }

  ~ReadCrew() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    more_.notify_all();
    for (std::thread& h : helpers_) h.join();
  }

  ReadCrew(const ReadCrew&) = delete;
  ReadCrew& operator=(const ReadCrew&) = delete;

  // Reads the list whose first children are head (the rest follow the last of them) into list,
  // for owner, the decoding thread's reader.
  int ReadList(Reader& owner, std::vector<ListChild> head, std::vector<CNMessageBase>& list,
               int depth);

 private:
  struct Range {
    std::vector<ListChild> children;
    size_t elements = 0;
    std::vector<CNMessageBase> messages;
    int rc = kMsgOk;
    KqXMLContextInfo context;
  };

  // The list being read. Ranges stay where they are while more are added; a reader takes one
  // under the lock.
  struct List {
    int depth = 0;
    std::deque<Range> ranges;
    size_t taken = 0;
    size_t reading = 0;  // ranges taken by helpers and not yet read
    size_t firstFailed = SIZE_MAX;
    std::exception_ptr thrown;  // the first exception a helper met
  };

  // Reads ranges of the current list while there are any; called and returning with the lock
  // held. An exception on the decoding thread leaves with the lock released.
  void ReadRanges(Reader& reader, std::unique_lock<std::mutex>& lock, bool helper) {
    while (list_ != nullptr && list_->taken < list_->ranges.size()) {
      List& list = *list_;
      const size_t r = list.taken++;
      if (r > list.firstFailed) continue;
      Range& range = list.ranges[r];
      if (helper) ++list.reading;
      lock.unlock();
      std::exception_ptr thrown;
      try {
        reader.context_ = &range.context;
        range.messages.resize(range.elements);
        range.rc = reader.ReadListElements(range.children, 0, range.children.size(),
                                           range.messages.data(), list.depth);
      } catch (...) {
        if (!helper) throw;  // re-taken by ReadList
        thrown = std::current_exception();
      }
      lock.lock();
      if (range.rc != kMsgOk || thrown) list.firstFailed = std::min(list.firstFailed, r);
      if (thrown && !list.thrown) list.thrown = thrown;
      if (helper && --list.reading == 0) done_.notify_all();
    }
  }

  void Serve() {
    std::unique_ptr<Reader> reader;
    try {
      reader.reset(new Reader(nullptr, embedded_, nullptr));
    } catch (...) {
      return;  // no memory to set up in: the other threads read every range
    }
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      more_.wait(lock, [this] {
        return stop_ || (list_ != nullptr && list_->taken < list_->ranges.size());
      });
      if (stop_) return;
      ReadRanges(*reader, lock, true);
    }
  }

  const bool embedded_;
  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable more_;  // a range to read, or the crew stops
  std::condition_variable done_;  // the helpers read no range of the current list
  List* list_ = nullptr;
  bool stop_ = false;
};

int ReadCrew::ReadList(Reader& owner, std::vector<ListChild> head,
                       std::vector<CNMessageBase>& out, int depth) {
  List list;
  list.depth = depth;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    list_ = &list;
  }
  std::exception_ptr thrown;
  Reader reader(nullptr, embedded_, nullptr);
  try {
    Range range;
    // Once a range has failed, the children after it decide nothing: gathering stops there.
    bool failed = false;
    auto add = [&](pugi::xml_node node, bool element) {
      range.children.push_back(ListChild{node, element});
      if (element) ++range.elements;
      if (range.children.size() < kRangeChildren) return;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        list.ranges.push_back(std::move(range));
        failed = list.firstFailed != SIZE_MAX;
      }
      more_.notify_one();
      range = Range();
      range.children.reserve(kRangeChildren);
    };
    range.children.reserve(kRangeChildren);
    for (const ListChild& child : head) add(child.node, child.element);
    for (pugi::xml_node e = head.back().node.next_sibling(); !failed; e = e.next_sibling()) {
      const pugi::xml_node_type type = e.type();
      if (type == pugi::node_null) break;
      add(e, type == pugi::node_element);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (!range.children.empty()) list.ranges.push_back(std::move(range));
    more_.notify_all();
    ReadRanges(reader, lock, false);
  } catch (...) {
    thrown = std::current_exception();
  }
  // The list is done once no helper reads a range of it; ranges nobody took are left.
  {
    std::unique_lock<std::mutex> lock(mutex_);
    list.taken = list.ranges.size();
    done_.wait(lock, [&] { return list.reading == 0; });
    list_ = nullptr;
    if (!thrown) thrown = list.thrown;
  }
  if (thrown) std::rethrow_exception(thrown);

  size_t elements = 0;
  for (const Range& range : list.ranges) {
    if (range.rc != kMsgOk) {
      if (range.rc != kRetryPlain) owner.Fail(range.rc, range.context.error);
      return range.rc;
    }
    elements += range.elements;
  }
  out.clear();
  out.reserve(elements);
  for (Range& range : list.ranges)
    for (CNMessageBase& m : range.messages) out.push_back(std::move(m));
  return kMsgOk;
}

int Reader::ReadListInParallel(std::vector<ListChild> head, std::vector<CNMessageBase>& list,
                               int depth) {
  return crew_->ReadList(*this, std::move(head), list, depth);
}

}  // namespace

int XMLEncoder::serialize(const CNMessageBase& message, std::string& xml, bool) {
  std::string out;
  out.reserve(256);
  int rc = WriteMessage(out, message, 1);
  if (rc != kMsgOk) return rc;
  xml.swap(out);
  return kMsgOk;
}

int XMLEncoder::serialize(const CNMessageBase* message, std::string& xml, bool flag) {
  if (message == nullptr) return kMsgErrStructure;
  return serialize(*message, xml, flag);
}

namespace {

// True when text[0, size) holds a character reference that names no XML character: "&#0;"
// (in any spelling, leading zeros or hexadecimal) or one beyond U+10FFFF. The parser would
// decode the first to a NUL byte that silently cuts the text it stands in ("a&#0;b" read as
// "a"), and wraps the second around to any value.
bool HasBadCharReference(const char* text, size_t size) {
  const char* end = text + size;
  for (const char* p = text; p + 2 < end;) {
    const void* hit = std::memchr(p, '&', static_cast<size_t>(end - p));
    if (hit == nullptr) break;
    p = static_cast<const char*>(hit) + 1;
    if (p >= end || *p != '#') continue;
    const char* q = p + 1;
    const bool hex = q < end && (*q == 'x' || *q == 'X');
    if (hex) ++q;
    unsigned long long value = 0;
    const char* digits = q;
    for (; q < end; ++q) {
      int d;
      if (*q >= '0' && *q <= '9') {
        d = *q - '0';
      } else if (hex && *q >= 'a' && *q <= 'f') {
        d = *q - 'a' + 10;
      } else if (hex && *q >= 'A' && *q <= 'F') {
        d = *q - 'A' + 10;
      } else {
        break;
      }
      value = value * (hex ? 16 : 10) + static_cast<unsigned>(d);
      if (value > 0x10FFFF) value = 0x110000;  // stays out of range, never wraps
    }
    if (q > digits && q < end && *q == ';' && (value == 0 || value > 0x10FFFF)) return true;
  }
  return false;
}

// Parses text[0, size) and reads it into message. The quick way (embedded) parses with embedded
// texts and without the reference and line-end passes where the text needs none; it hands
// anything unusual (a syntax error, mixed content) back as kRetryPlain to the plain way. With
// writable, the parse works in that buffer (the same bytes as text) instead of a copy.
int Decode(CNMessageBase& message, const char* text, size_t size, char* writable,
           KqXMLContextInfo* context, bool embedded) {
  pugi::xml_document doc;
  // Started before the parse and joined on every way out, before the document goes.
  std::unique_ptr<ReadCrew> crew;
  if (size >= kParallelDocumentBytes) crew.reset(new ReadCrew(embedded));
  Reader reader(context, embedded, crew.get());
  unsigned options = pugi::parse_cdata | pugi::parse_ws_pcdata_single;
  if (embedded) {
    // References and line ends are only looked for where the text has any: without them the
    // parse is the same, and quicker.
    options |= pugi::parse_embed_pcdata;
    const kq::TwoBytesFound found = kq::FindTwoBytes(text, size, '&', '\r');
    if (found.first) options |= pugi::parse_escapes;
    if (found.second) options |= pugi::parse_eol;
  } else {
    options |= pugi::parse_escapes | pugi::parse_eol;
  }
  if ((options & pugi::parse_escapes) != 0 && HasBadCharReference(text, size))
    return reader.Fail(kMsgErrSyntax, "character reference to NUL or beyond U+10FFFF");
  pugi::xml_parse_result parsed =
      writable != nullptr ? doc.load_buffer_inplace(writable, size, options, pugi::encoding_utf8)
                          : doc.load_buffer(text, size, options, pugi::encoding_utf8);
  if (parsed.status == pugi::status_out_of_memory)
    return reader.Fail(kMsgErrMemory, "the document does not fit in memory");
  // A syntax error is reported as the plain parse finds it (where it is found can depend on
  // the options).
  if (!parsed && embedded) return kRetryPlain;
  if (!parsed) {
    if (context != nullptr) context->offset = parsed.offset;
    return reader.Fail(kMsgErrSyntax, parsed.description());
  }
  pugi::xml_node root = doc.document_element();
  if (!root) return reader.Fail(kMsgErrSyntax, "no root element");
  for (pugi::xml_node n = root.next_sibling(); n; n = n.next_sibling())
    if (n.type() == pugi::node_element) return reader.Fail(kMsgErrSyntax, "more than one root");
  if (std::strcmp(root.name(), "m") != 0)
    return reader.Fail(kMsgErrStructure, std::string("root <") + root.name() + "> is no message");
  Attrs a;
  GetAttrs(root, a);
  int subsystem = 0;
  int id = 0;
  int rc = reader.ReadClass(a, subsystem, id);
  if (rc != kMsgOk) return rc;
  CNMessageBase built(subsystem, id);
  if (built.getSubsystem() != message.getSubsystem() ||
      built.getMessageId() != message.getMessageId())
    return reader.Fail(kMsgErrClass, "message " + std::to_string(built.getSubsystem()) + "/" +
                                         std::to_string(built.getMessageId()) + " where " +
                                         std::to_string(message.getSubsystem()) + "/" +
                                         std::to_string(message.getMessageId()) +
                                         " was expected");
  rc = reader.ReadFields(root, built, 1);
  if (rc != kMsgOk) return rc;
  message = std::move(built);
  return kMsgOk;
}

// Decode, with running out of memory turned into its result: nothing of the reader throws
// past this point, whatever the document holds.
int DecodeWithin(CNMessageBase& message, const char* text, size_t size, char* writable,
                 KqXMLContextInfo* context, bool embedded) {
  try {
    return Decode(message, text, size, writable, context, embedded);
  } catch (const std::bad_alloc&) {
    if (context != nullptr) {
      context->result = kMsgErrMemory;
      context->error = "the message does not fit in memory";
    }
    return kMsgErrMemory;
  }
}

}  // namespace

int XMLDecoder::unSerialize(CNMessageBase& message, const std::string& xml,
                            KqXMLContextInfo* context) {
  if (context != nullptr) *context = KqXMLContextInfo();
  int rc = DecodeWithin(message, xml.data(), xml.size(), nullptr, context, true);
  if (rc == kRetryPlain) rc = DecodeWithin(message, xml.data(), xml.size(), nullptr, context, false);
  return rc;
}

int XMLDecoder::unSerializeInPlace(CNMessageBase& message, char* text, size_t size,
                                   KqXMLContextInfo* context) {
  if (context != nullptr) *context = KqXMLContextInfo();
  if (text == nullptr && size != 0) {
    if (context != nullptr) {
      context->result = kMsgErrStructure;
      context->error = "no text given";
    }
    return kMsgErrStructure;
  }
  // An empty text is refused like any other; there is no buffer to parse in.
  if (size == 0) return unSerialize(message, std::string(), context);
  int rc = DecodeWithin(message, text, size, text, context, true);
  if (rc != kRetryPlain) return rc;
  // The plain way needs the text as it was, and the quick parse has overwritten it.
  if (context != nullptr) {
    context->result = kMsgRetryWithText;
    context->error = "the text has to be read again and passed to unSerialize";
  }
  return kMsgRetryWithText;
}

int XMLDecoder::unSerialize(CNMessageBase* message, const std::string& xml,
                            KqXMLContextInfo* context) {
  if (message == nullptr) {
    if (context != nullptr) {
      *context = KqXMLContextInfo();
      context->result = kMsgErrStructure;
      context->error = "no message given";
    }
    return kMsgErrStructure;
  }
  return unSerialize(*message, xml, context);
}
