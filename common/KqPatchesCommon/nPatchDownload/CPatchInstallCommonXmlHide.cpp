// Masking of the client-authentication password in job-option XML.
#include "Logging/EvDebug.h"
#include "Messages/TMMsg.h"
#include "nPatchDownload/CPatchInstallCommon.h"

namespace nPatchDownload {

namespace {

// One step of a path through nested sections: index and tag of the object field.
struct Step {
  int index;
  int tag;
};

// The nested section that field (index, tag) of m holds, or null when it is not set or is not
// a nested message.
CNMessageBase* Section(CNMessageBase* m, const Step& step) {
  if (m == nullptr || !m->isSet(step.index)) return nullptr;
  const CNMessageBase* held = static_cast<const CNMessageBase*>(m)->getObjectAccessor(step.index, step.tag);
  if (held == nullptr) return nullptr;
  return m->getObjectAccessor(true, false, step.index, step.tag, 0, 0, held->getSubsystem(),
                              held->getMessageId());
}

// Download or copy job: options 3/3 -> 3/3 -> 12/12 -> client authentication 5/8.
const Step kDownloadPath[] = {{3, 3}, {3, 3}, {12, 12}, {5, 8}};
// Push job: options 3/3 -> 12/12 -> client authentication 7/7.
const Step kPushPath[] = {{3, 3}, {12, 12}, {7, 7}};
// The password in the client-authentication section.
const Step kPassword = {2, 5};

}  // namespace

int CPatchInstallCommon::DoXMLHide(std::string& xml, bool downloadCopy) {
  static const char* const kTag = "DoXMLHide";
  EvDebug log;
  TMMsg::JobOption option;
  int rc = option.unserialize(xml);
  if (rc != 0) {
    log.Debug(kTag, "Failed to unserialize input GUI xml with error code [%d]", rc);
    return rc;
  }
  CNMessageBase* section = &option;
  if (downloadCopy) {
    for (const Step& step : kDownloadPath) section = Section(section, step);
  } else {
    for (const Step& step : kPushPath) section = Section(section, step);
  }
  if (section == nullptr) {
    log.DebugLvl(kTag, 8, downloadCopy ? "No Client auth section found for download/copy job."
                                       : "No Client auth job section found for push job.");
    return 0;
  }
  // The password may arrive as a protected or as a plain text field; either is masked.
  if (section->getpstringobject(kPassword.index, kPassword.tag).empty() &&
      section->getstringByRef(kPassword.index, kPassword.tag).empty()) {
    log.DebugLvl(kTag, 8, downloadCopy ? "No item found for masking for download/copy job"
                                       : "No item found for masking for push job");
    return 0;
  }
  log.DebugLvl(kTag, 8, downloadCopy ? "Masking input GUI XML for download/copy"
                                     : "Masking input GUI XML for push");
  section->setpstringobject(kPassword.index, kPassword.tag, bstring(),
                            Annotation::PasswordEncryptStandard);
  std::string masked;
  rc = option.serialize(masked);
  if (rc == 0) xml.swap(masked);
  return rc;
}

}  // namespace nPatchDownload
