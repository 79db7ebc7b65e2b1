#include "Messages/MessageXml.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>

#include <pugixml.hpp>

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

void GetAttrs(pugi::xml_node n, Attrs& a) {
  for (pugi::xml_attribute at = n.first_attribute(); at; at = at.next_attribute()) {
    const char* nm = at.name();
    switch (nm[0]) {
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

// A whole decimal number between lo and hi, with optional blanks around it.
bool ParseNumber(const char* p, long long lo, long long hi, long long& out) {
  if (p == nullptr) return false;
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

bool ParseInt(const char* p, int& out) {
  long long v = 0;
  if (!ParseNumber(p, INT_MIN, INT_MAX, v)) return false;
  out = static_cast<int>(v);
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Reader {
 public:
  explicit Reader(KqXMLContextInfo* context) : context_(context) {}

  int Fail(int code, const std::string& what) {
    if (context_ != nullptr) {
      context_->result = code;
      context_->error = what;
    }
    return code;
  }

  // Builds the fields of a message element (an "m" or an "o") into m.
  int ReadFields(pugi::xml_node node, CNMessageBase& m, int depth) {
    if (depth > kMaxMessageDepth) return Fail(kMsgErrDepth, "messages nested too deep");
    size_t count = 0;
    for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
      if (c.type() == pugi::node_element) {
        ++count;
      } else if (!IsBlankText(c)) {
        return Fail(kMsgErrStructure, "text where fields were expected");
      }
    }
    m.reserveFields(count);
    for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
      if (c.type() != pugi::node_element) continue;
      int rc = ReadField(c, m, depth);
      if (rc != kMsgOk) return rc;
    }
    return kMsgOk;
  }

  // Reads the subsystem and id of a message element into a fresh message.
  int ReadClass(const Attrs& a, CNMessageBase& m) {
    int subsystem = 0;
    int id = 0;
    if (!ParseInt(a.s, subsystem) || !ParseInt(a.id, id))
      return Fail(a.s == nullptr || a.id == nullptr ? kMsgErrStructure : kMsgErrNumber,
                  "message without a valid subsystem and id");
    m = CNMessageBase(subsystem, id);
    return kMsgOk;
  }

 private:
  static bool IsBlankText(pugi::xml_node c) {
    if (c.type() != pugi::node_pcdata && c.type() != pugi::node_cdata) return true;
    for (const char* p = c.value(); *p; ++p)
      if (!IsBlank(*p)) return false;
    return true;
  }

  // The text content of a value element (no child elements allowed).
  int ReadText(pugi::xml_node c, const Attrs& a, std::string& out) {
    pugi::xml_node t = c.first_child();
    if (t && (t.next_sibling() ||
              (t.type() != pugi::node_pcdata && t.type() != pugi::node_cdata)))
      return Fail(kMsgErrStructure, std::string("unexpected content in <") + c.name() + ">");
    const char* v = t ? t.value() : "";
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
      out.assign(v);
    }
    return kMsgOk;
  }

  int ReadField(pugi::xml_node c, CNMessageBase& m, int depth) {
    Attrs a;
    GetAttrs(c, a);
    int index = 0;
    int tag = 0;
    if (a.i == nullptr || a.t == nullptr)
      return Fail(kMsgErrStructure, std::string("field <") + c.name() + "> without index or tag");
    if (!ParseInt(a.i, index) || !ParseInt(a.t, tag))
      return Fail(kMsgErrNumber, "field index or tag is not a number");
    for (const KqMessageField& f : m.fields())
      if (f.tag == tag || f.index == index)
        return Fail(kMsgErrStructure, "field index or tag " + std::to_string(tag) + " repeated");

    const char* name = c.name();
    if (std::strcmp(name, "s") == 0) {
      KqMessageField& f = m.appendField(index, tag, KqFieldKind::kString);
      return ReadText(c, a, f.text);
    }
    if (std::strcmp(name, "i") == 0) {
      KqMessageField& f = m.appendField(index, tag, KqFieldKind::kInt64);
      pugi::xml_node t = c.first_child();
      if (t && t.next_sibling()) return Fail(kMsgErrStructure, "unexpected content in <i>");
      if (!ParseNumber(c.child_value(), LLONG_MIN, LLONG_MAX, f.number))
        return Fail(kMsgErrNumber, "bad number in field " + std::to_string(tag));
      return kMsgOk;
    }
    if (std::strcmp(name, "ps") == 0) {
      KqMessageField& f = m.appendField(index, tag, KqFieldKind::kPString);
      if (a.e != nullptr && !ParseInt(a.e, f.encryptType))
        return Fail(kMsgErrNumber, "bad protection type in field " + std::to_string(tag));
      return ReadText(c, a, f.text);
    }
    if (std::strcmp(name, "li") == 0) {
      KqMessageField& f = m.appendField(index, tag, KqFieldKind::kIntList);
      return ReadIntList(c, f.payload->ints, tag);
    }
    if (std::strcmp(name, "ls") == 0) {
      KqMessageField& f = m.appendField(index, tag, KqFieldKind::kStringList);
      for (pugi::xml_node v = c.first_child(); v; v = v.next_sibling()) {
        if (v.type() != pugi::node_element) {
          if (IsBlankText(v)) continue;
          return Fail(kMsgErrStructure, "text in a string list");
        }
        if (std::strcmp(v.name(), "v") != 0)
          return Fail(kMsgErrStructure, "unexpected element in a string list");
        Attrs va;
        GetAttrs(v, va);
        f.payload->strings.emplace_back();
        int rc = ReadText(v, va, f.payload->strings.back());
        if (rc != kMsgOk) return rc;
      }
      return kMsgOk;
    }
    if (std::strcmp(name, "lo") == 0) {
      KqMessageField& f = m.appendField(index, tag, KqFieldKind::kObjectList);
      std::vector<CNMessageBase>& list = f.payload->objects;
      size_t count = 0;
      for (pugi::xml_node e = c.child("m"); e; e = e.next_sibling("m")) ++count;
      list.reserve(count);
      for (pugi::xml_node e = c.first_child(); e; e = e.next_sibling()) {
        if (e.type() != pugi::node_element) {
          if (IsBlankText(e)) continue;
          return Fail(kMsgErrStructure, "text in an object list");
        }
        if (std::strcmp(e.name(), "m") != 0)
          return Fail(kMsgErrStructure, "unexpected element in an object list");
        if (depth + 1 > kMaxMessageDepth) return Fail(kMsgErrDepth, "messages nested too deep");
        Attrs ea;
        GetAttrs(e, ea);
        list.emplace_back();
        int rc = ReadClass(ea, list.back());
        if (rc == kMsgOk) rc = ReadFields(e, list.back(), depth + 1);
        if (rc != kMsgOk) return rc;
      }
      return kMsgOk;
    }
    if (std::strcmp(name, "o") == 0) {
      if (depth + 1 > kMaxMessageDepth) return Fail(kMsgErrDepth, "messages nested too deep");
      KqMessageField& f = m.appendField(index, tag, KqFieldKind::kObject);
      KqFieldPayload* payload = f.payload.get();  // stable while m grows
      int rc = ReadClass(a, payload->object);
      if (rc == kMsgOk) rc = ReadFields(c, payload->object, depth + 1);
      return rc;
    }
    return Fail(kMsgErrStructure, std::string("unknown field element <") + name + ">");
  }

  int ReadIntList(pugi::xml_node c, std::vector<int>& out, int tag) {
    pugi::xml_node t = c.first_child();
    if (t && (t.next_sibling() || t.type() != pugi::node_pcdata))
      return Fail(kMsgErrStructure, "unexpected content in <li>");
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
};

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

int XMLDecoder::unSerialize(CNMessageBase& message, const std::string& xml,
                            KqXMLContextInfo* context) {
  Reader reader(context);
  if (context != nullptr) *context = KqXMLContextInfo();
  pugi::xml_document doc;
  const unsigned options =
      pugi::parse_cdata | pugi::parse_escapes | pugi::parse_eol | pugi::parse_ws_pcdata_single;
  pugi::xml_parse_result parsed =
      doc.load_buffer(xml.data(), xml.size(), options, pugi::encoding_utf8);
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
  CNMessageBase built;
  int rc = reader.ReadClass(a, built);
  if (rc != kMsgOk) return rc;
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
