// The main operating-system type of an appliance, as cache messages and the
// appliance file lists key it.
#ifndef KQPATCHESCOMMON_KQAPPLIANCEOSTYPE_H_
#define KQPATCHESCOMMON_KQAPPLIANCEOSTYPE_H_

#pragma GCC visibility push(default)

namespace UpdatePatches {

enum KQApplianceMainOSType {
  KQ_APPLIANCE_OS_UNIX = 0,
  KQ_APPLIANCE_OS_MSSQL = 1,
  KQ_APPLIANCE_OS_WINDOWS = 2,
  KQ_APPLIANCE_OS_UNKNOWN = 3,  // none of the above
};

}  // namespace UpdatePatches

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_KQAPPLIANCEOSTYPE_H_
