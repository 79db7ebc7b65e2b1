// Process-level identity of this product instance, read from the configuration store.
#ifndef KQ_PLATFORM_CONFIGURATION_KQPI_H_
#define KQ_PLATFORM_CONFIGURATION_KQPI_H_

#pragma GCC visibility push(default)

#include <string>

// The instance this process serves: $KQ_INSTANCE, else "Instance001".
class KQPI_Focus {
 public:
  static std::string getFocus();
};

// Facts about the Hubnode of this Tessara.
class KQPI_Hubnode {
 public:
  // "Hubnode"/"nTessaraId"; 0 when absent or unreadable.
  static unsigned long getTessaraId();
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_CONFIGURATION_KQPI_H_
