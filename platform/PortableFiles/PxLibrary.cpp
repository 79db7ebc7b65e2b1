#include "PortableFiles/PxLibrary.h"

#include <dlfcn.h>

#include <cerrno>

namespace {
// Library loading errors carry this code; the text is dlerror()'s.
constexpr uint32_t kLoadFailed = 0x8000000F;
}  // namespace

CPxLibrary::~CPxLibrary() { Unload(); }

CPxError CPxLibrary::Load(const char* path) {
  Unload();
  if (path == nullptr || *path == '\0') return CPxError::FromErrno(EINVAL, "Cannot load an empty library path", FX_CODE_LOCATION());
  void* h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    const char* why = dlerror();
    return FXErrorUtil::ErrorHResult(kLoadFailed, FX_CODE_LOCATION(), why ? why : "dlopen failed");
  }
  handle_ = h;
  path_ = path;
  return CPxError();
}

void* CPxLibrary::GetSymbol(const char* name, CPxError* error) const {
  if (handle_ == nullptr || name == nullptr) {
    if (error) *error = CPxError::FromErrno(EINVAL, "No library loaded or no symbol name", FX_CODE_LOCATION());
    return nullptr;
  }
  dlerror();
  void* sym = dlsym(handle_, name);
  if (sym == nullptr) {
    const char* why = dlerror();
    if (error) *error = FXErrorUtil::ErrorHResult(kLoadFailed, FX_CODE_LOCATION(), why ? why : "Symbol not found");
    return nullptr;
  }
  if (error) *error = CPxError();
  return sym;
}

void CPxLibrary::Unload() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
  path_.clear();
}
