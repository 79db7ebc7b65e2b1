// EvEvent: the event object of the event library. It is a log (every EvDebug operation writes
// through it, to the same log and with the same job id) that also gathers the text of one
// event: values inserted with << are appended to its text in order, and the text is read back
// with text() and emptied with clearText(). A plain value; copy freely.
#ifndef KQ_PLATFORM_EVENTS_EVEVENT_H_
#define KQ_PLATFORM_EVENTS_EVEVENT_H_

#pragma GCC visibility push(default)

#include <string>
#include <type_traits>

#include "Logging/EvDebug.h"

class EvEvent : public EvDebug {
 public:
  EvEvent() = default;
  explicit EvEvent(const EvDebug& log) : EvDebug(log) {}
  explicit EvEvent(const char* logName, long long jobId = 0) : EvDebug(logName, jobId) {}

  EvEvent& operator<<(const std::string& text) {
    text_ += text;
    return *this;
  }
  EvEvent& operator<<(const char* text) {
    if (text != nullptr) text_ += text;
    return *this;
  }
  EvEvent& operator<<(char c) {
    text_ += c;
    return *this;
  }
  template <class Number, class = std::enable_if_t<std::is_arithmetic_v<Number>>>
  EvEvent& operator<<(Number value) {
    text_ += std::to_string(value);
    return *this;
  }

  const std::string& text() const { return text_; }
  void clearText() { text_.clear(); }

 private:
  std::string text_;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_EVENTS_EVEVENT_H_
