// Construction of the Hubnode data manager. Its operations live in the
// CPatchDataManagerHN*.cpp files, one per concern.
#include "nPatchDownload/CPatchDataManagerHN.h"

#include "Configuration/KQPI.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace nPatchDownload {

CPatchDataManagerHN::CPatchDataManagerHN(IPatchEvent& sink, int& status)
    : CPatchDataManager(sink) {
  status = 0;
  UpdatePatches::RegisterSubsystem();
  m_tessaraId = static_cast<int>(KQPI_Hubnode::getTessaraId());
  if (m_tessaraId == 0) {
    m_event.Debug("CPatchDataManagerHN", "Tessara Id of the Hubnode is not set");
    status = static_cast<int>(KQ_PATCH_E_INVALID_INPUT);
  }
}

CPatchDataManagerHN::~CPatchDataManagerHN() {}

}  // namespace nPatchDownload
