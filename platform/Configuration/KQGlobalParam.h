// KQGlobalParam: the Hubnode's named global parameters ("Patch Visibility Level", ...), kept in
// the "GlobalParams" section of the configuration store.
#ifndef KQ_PLATFORM_CONFIGURATION_KQGLOBALPARAM_H_
#define KQ_PLATFORM_CONFIGURATION_KQGLOBALPARAM_H_

#pragma GCC visibility push(default)

#include <string>

class KQGlobalParam {
 public:
  // True when the parameter exists (the value stored in `value`).
  bool get(const std::string& name, std::string& value) const;
  bool set(const std::string& name, const std::string& value);
  // The Hubnode's patch folder: parameter "HubnodePatchDirectory"; false when absent or empty.
  bool getHubnodePatchDirectory(std::string& folder) const;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_CONFIGURATION_KQGLOBALPARAM_H_
