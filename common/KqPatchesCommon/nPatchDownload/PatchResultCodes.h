// Result codes of the nPatchDownload classes: 0 for success, 0x8000xxxx for a failure. An
// operation may also return a portable-layer error code (an errno value) where it says so, or a
// media-access result (0x8007xxxx, listed below) that it passes on from a transfer.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_PATCHRESULTCODES_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_PATCHRESULTCODES_H_

#pragma GCC visibility push(default)

namespace nPatchDownload {

// X(name, value, meaning)
#define KQ_PATCH_RESULT_CODES(X)                                                        \
  X(KQ_PATCH_OK, 0x00000000u, "success")                                                \
  X(KQ_PATCH_E_OUTOFMEMORY, 0x80000001u, "out of memory")                               \
  X(KQ_PATCH_E_INVALIDARG, 0x80000008u, "invalid argument")                             \
  X(KQ_PATCH_E_CONFIG_UNREADABLE, 0x8000000Cu, "configuration value unreadable")        \
  X(KQ_PATCH_E_CONFIG_MISSING, 0x8000000Du, "configuration value missing")              \
  X(KQ_PATCH_E_INVALID_INPUT, 0x8000000Fu, "input, configuration or XML missing or invalid") \
  X(KQ_PATCH_E_FILE_IO, 0x80000010u, "file input or output failed")                     \
  X(KQ_PATCH_E_DB_QUERY, 0x80000018u, "database query failed")                          \
  X(KQ_PATCH_E_NO_UNIQUE_NAME, 0x80000019u, "no unique folder name")                    \
  X(KQ_PATCH_E_INTERRUPTED, 0x8000001Au, "interrupted")                                 \
  X(KQ_PATCH_E_VERSION_FILES, 0x8000001Bu, "version files missing or disagreeing")      \
  X(KQ_PATCH_E_EXTRACTION, 0x8000001Cu, "extraction failed")                            \
  X(KQ_PATCH_E_DISK_SPACE, 0x8000001Du, "not enough disk space")                        \
  X(KQ_PATCH_E_FEWER_CHECKED, 0x8000001Eu, "fewer files checked than queued")           \
  X(KQ_PATCH_E_FEWER_RETRIEVED, 0x8000001Fu, "fewer files retrieved than pending")      \
  X(KQ_PATCH_E_MEDIA_ROOT, 0x80000020u, "media root missing")                           \
  X(KQ_PATCH_E_NOT_BUILT, 0x80000021u, "folder structure or XML not built")             \
  X(KQ_PATCH_E_DESCRIPTOR_FLAGS, 0x80000023u, "update descriptor flags contradict its format") \
  X(KQ_PATCH_E_NO_RELATIVE_PATH, 0x80000024u, "no relative path")

// The results of media access (IMediaAccess) and of the appliance step that passes them on:
// an operating-system error number mapped into 0x8007xxxx by FXErrorUtil::ErrorWin32.
// X(name, value, meaning)
#define KQ_MEDIA_RESULT_CODES(X)                                                        \
  X(KQ_MEDIA_E_FILE_NOT_FOUND, 0x80070002u, "file missing on the source")               \
  X(KQ_MEDIA_E_ACCESS_DENIED, 0x80070005u, "access refused by the source")              \
  X(KQ_MEDIA_E_INVALID_DATA, 0x8007000Du, "transfer incomplete or inconsistent")        \
  X(KQ_MEDIA_E_WRITE_FAULT, 0x8007001Du, "local file could not be written")            \
  X(KQ_MEDIA_E_INVALID_PARAMETER, 0x80070057u, "bad argument or refused name")          \
  X(KQ_MEDIA_E_DISK_FULL, 0x80070070u, "local disk full")                               \
  X(KQ_MEDIA_E_INTERNAL, 0x8007054Fu, "transfer failed")                                \
  X(KQ_MEDIA_E_TIMEOUT, 0x800705B4u, "transfer timed out")                              \
  X(KQ_MEDIA_E_CANNOT_CONNECT, 0x80072EFDu, "no connection to the source")              \
  X(KQ_MEDIA_E_SECURE_CHANNEL, 0x80072F7Du, "secure channel failed (certificate)")

#define KQ_PATCH_RESULT_ENUM(name, value, text) name = value,
enum PatchResult : unsigned int {
  KQ_PATCH_RESULT_CODES(KQ_PATCH_RESULT_ENUM) KQ_MEDIA_RESULT_CODES(KQ_PATCH_RESULT_ENUM)
};
#undef KQ_PATCH_RESULT_ENUM

// The meaning of a result code of either list; "unknown result" for any other value.
const char* PatchResultText(unsigned int code);

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_PATCHRESULTCODES_H_
