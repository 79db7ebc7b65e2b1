// A quick look through a message text for bytes that call for extra work when they occur at all
// (line ends to remove, references and carriage returns the parse has to handle). Texts run to
// megabytes and mostly hold none of them, so each text is looked through once for two bytes
// instead of once per byte.
#ifndef KQ_PLATFORM_MESSAGES_MESSAGETEXTSCAN_H_
#define KQ_PLATFORM_MESSAGES_MESSAGETEXTSCAN_H_

#pragma GCC visibility push(default)

#include <cstddef>

namespace kq {

// Which of two bytes occur in a text.
struct TwoBytesFound {
  bool first = false;
  bool second = false;
};

// Whether first and second occur in text[0, size). The text is looked through once up to the
// first place where either occurs.
TwoBytesFound FindTwoBytes(const char* text, size_t size, char first, char second);

}  // namespace kq

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_MESSAGES_MESSAGETEXTSCAN_H_
