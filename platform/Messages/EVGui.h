// The console message family (message subsystem 13): the console messages this library fills
// or reads.
#ifndef KQ_PLATFORM_MESSAGES_EVGUI_H_
#define KQ_PLATFORM_MESSAGES_EVGUI_H_

#pragma GCC visibility push(default)

#include "Messages/MessageClass.h"
#include "Messages/MessageXml.h"

#define KQ_EVGUI_CLASSES(C, F, O)                                                             \
  C(GetFTPServicePackInfoReq, 160, F(Field1, 1, 1))                                          \
  C(GetFTPServicePackInfoResp, 557, O(SPCUInfos, 6, 12, 1001))                               \
  C(SPCUInfo, 1001, F(Name, 1, 1))                                                           \
  C(PatchUAContentConfigs, 1002, O(Configs, 1, 1, 1003))                                     \
  C(PatchUAContentConfig, 1003, F(Key, 1, 1) F(ReleaseId, 2, 2) F(OSId, 3, 3)                \
                                    F(BinarySetIds, 4, 4) F(PackageSyncMode, 5, 5)           \
                                    F(PackageIds, 11, 17) F(ConfiguredPackages, 12, 21))

namespace EVGui {

constexpr int kSubsystemId = 13;

#define KQ_EVGUI_CLASS(Name, Id, ...) KQ_MSG_DECLARE_CLASS(13, Name, Id, __VA_ARGS__)
KQ_EVGUI_CLASSES(KQ_EVGUI_CLASS, KQ_MSG_FIELD_CONSTANT, KQ_MSG_OBJECT_CONSTANT)
#undef KQ_EVGUI_CLASS

void RegisterSubsystem();

}  // namespace EVGui

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_MESSAGES_EVGUI_H_
