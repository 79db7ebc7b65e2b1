// The job-option message family (message subsystem 12): the job options the console sends
// with a job. Only the root class is named; its nested sections (subsystem 12, and the
// authentication section of subsystem 20) are reached by field and id.
#ifndef KQ_PLATFORM_MESSAGES_TMMSG_H_
#define KQ_PLATFORM_MESSAGES_TMMSG_H_

#pragma GCC visibility push(default)

#include "Messages/MessageClass.h"
#include "Messages/MessageXml.h"

#define KQ_TMMSG_CLASSES(C, F, O) C(JobOption, 262, O(Options, 3, 3, 375))

namespace TMMsg {

constexpr int kSubsystemId = 12;

#define KQ_TMMSG_CLASS(Name, Id, ...) KQ_MSG_DECLARE_CLASS(12, Name, Id, __VA_ARGS__)
KQ_TMMSG_CLASSES(KQ_TMMSG_CLASS, KQ_MSG_FIELD_CONSTANT, KQ_MSG_OBJECT_CONSTANT)
#undef KQ_TMMSG_CLASS

void RegisterSubsystem();

}  // namespace TMMsg

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_MESSAGES_TMMSG_H_
