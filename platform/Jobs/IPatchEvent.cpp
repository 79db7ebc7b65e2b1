#include "Jobs/IPatchEvent.h"

#include "Logging/EvDebug.h"

namespace nPatchDownload {

tErrorDetails::tErrorDetails(eErrorDescType type, const void* value) {
  if (value == nullptr) {
    EvDebug().Debug("tErrorDetails", "Input param is null");
    return;
  }
  switch (type) {
    case eInt:
      nValue = *static_cast<const int*>(value);
      eType = eInt;
      break;
    case eString:
      strValue = *static_cast<const std::string*>(value);
      eType = eString;
      break;
    case eInt64:
      llValue = *static_cast<const long long*>(value);
      eType = eInt64;
      break;
    default:
      EvDebug().Debug("tErrorDetails", "Unknown error description type [%d]",
                      static_cast<int>(type));
      break;
  }
}

}  // namespace nPatchDownload
