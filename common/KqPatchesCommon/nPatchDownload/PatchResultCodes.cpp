#include "nPatchDownload/PatchResultCodes.h"

namespace nPatchDownload {

const char* PatchResultText(unsigned int code) {
  switch (code) {
#define KQ_PATCH_RESULT_CASE(name, value, text) \
  case value:                                   \
    return text;
    KQ_PATCH_RESULT_CODES(KQ_PATCH_RESULT_CASE)
    KQ_MEDIA_RESULT_CODES(KQ_PATCH_RESULT_CASE)
#undef KQ_PATCH_RESULT_CASE
  }
  return "unknown result";
}

}  // namespace nPatchDownload
