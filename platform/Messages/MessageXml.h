// XML text of messages: the writer (XMLEncoder) and the reader (XMLDecoder, on pugixml).
//
// The text describes itself, so no per-class schema is needed to read it back:
//
//   <m s="23" id="83"><s i="1" t="1">a/b.txt</s><s i="2" t="5">891568578</s></m>
//
// A message is an element "m" with its subsystem "s" and message id "id"; each field is one
// child element carrying its index "i" and tag "t", named by its kind:
//   s  string            i  64-bit integer       ps protected string (attribute "e": its type)
//   li list of 32-bit integers, blank-separated  ls list of strings, one "v" element each
//   lo list of messages, one "m" element each    o  nested message (attributes "s", "id")
// The writer escapes markup and writes line breaks, tabs and every other control byte as a
// character reference, so the text is one line and removing CR and LF from it (as the file
// loaders do) never changes a value. A value holding a NUL byte is written in hexadecimal with
// the attribute x="1". No DTD is read and no entity other than the predefined ones is expanded.
//
// Reading never throws and never half-fills: the message is built aside and replaces the
// target only when the whole text was good. Running out of memory is a result (kMsgErrMemory)
// like any other.
#ifndef KQ_PLATFORM_MESSAGES_MESSAGEXML_H_
#define KQ_PLATFORM_MESSAGES_MESSAGEXML_H_

#pragma GCC visibility push(default)

#include <cstddef>
#include <string>

#include "Messages/CNMessageBase.h"

// Result codes of the coder (0 is success).
enum KqMessageResult {
  kMsgOk = 0,
  kMsgErrSyntax = 1,     // not well-formed XML, or no root element
  kMsgErrStructure = 2,  // an element, attribute or field that does not fit the layout
  kMsgErrNumber = 3,     // a number that does not parse or does not fit
  kMsgErrDepth = 4,      // messages nested deeper than kMaxMessageDepth
  kMsgErrClass = 5,      // the root is a message of another subsystem or id
  kMsgRetryWithText = 6, // unSerializeInPlace only: the text has to be read the plain way
  kMsgErrMemory = 7,     // the document or the message did not fit in memory
};

// Messages nested deeper than this are refused by the reader and the writer.
constexpr int kMaxMessageDepth = 64;

// What the reader found wrong; filled when given to XMLDecoder::unSerialize.
struct KqXMLContextInfo {
  int result = 0;
  long long offset = -1;  // byte offset of a syntax error, else -1
  std::string error;      // readable description
};

class XMLEncoder {
 public:
  // Replaces xml by the text of the message; 0 on success. The flag changes nothing.
  static int serialize(const CNMessageBase& message, std::string& xml, bool flag = false);
  static int serialize(const CNMessageBase* message, std::string& xml, bool flag = false);
};

class XMLDecoder {
 public:
  // Always 0: the reader needs no set-up.
  static int initialize() { return 0; }
  // Parses xml into message (whose subsystem and id the root must have); 0 on success.
  static int unSerialize(CNMessageBase& message, const std::string& xml,
                         KqXMLContextInfo* context = nullptr);
  static int unSerialize(CNMessageBase* message, const std::string& xml,
                         KqXMLContextInfo* context = nullptr);
  // The same reading of text[0, size), done where the text lies instead of in a copy: for a
  // caller that holds a large text it has no further use for. The bytes are overwritten,
  // whatever the result. A text that only the plain way reads (mixed content, a syntax error;
  // never the writer's own text) gives kMsgRetryWithText and leaves message unchanged: the
  // caller gets the text again and passes it to unSerialize, which gives the result.
  static int unSerializeInPlace(CNMessageBase& message, char* text, size_t size,
                                KqXMLContextInfo* context = nullptr);
};

class XMLSerializationSupport {
 public:
  // Always 0: the coder needs no set-up.
  static int initialize() { return 0; }
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_MESSAGES_MESSAGEXML_H_
