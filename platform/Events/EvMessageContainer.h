// EvMessageContainer: an event message of the event library, by id, with the
// texts that fill its placeholders in order. A plain value; copy freely.
#ifndef KQ_PLATFORM_EVENTS_EVMESSAGECONTAINER_H_
#define KQ_PLATFORM_EVENTS_EVMESSAGECONTAINER_H_

#pragma GCC visibility push(default)

#include <string>
#include <vector>

class EvMessageContainer {
 public:
  EvMessageContainer() = default;
  explicit EvMessageContainer(int messageId) : messageId_(messageId) {}

  // Stores the message id; with clearArguments the argument list is emptied too.
  void SetMessageID(int messageId, bool clearArguments) {
    messageId_ = messageId;
    if (clearArguments) arguments_.clear();
  }
  int GetMessageID() const { return messageId_; }

  void AddArgument(const std::string& text) { arguments_.push_back(text); }
  const std::vector<std::string>& GetArguments() const { return arguments_; }

 private:
  int messageId_ = 0;
  std::vector<std::string> arguments_;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_EVENTS_EVMESSAGECONTAINER_H_
