// A shared library loaded at run time (dlopen). The object owns the handle: not copyable,
// unloaded on destruction or by Unload().
#ifndef KQ_PLATFORM_PORTABLEFILES_PXLIBRARY_H_
#define KQ_PLATFORM_PORTABLEFILES_PXLIBRARY_H_

#pragma GCC visibility push(default)

#include <string>

#include "PortableFiles/PxError.h"

class CPxLibrary {
 public:
  CPxLibrary() = default;
  ~CPxLibrary();
  CPxLibrary(const CPxLibrary&) = delete;
  CPxLibrary& operator=(const CPxLibrary&) = delete;

  // Loads the library (a path, or a bare name searched the way dlopen searches). A library
  // already loaded by this object is unloaded first. The error text is dlerror()'s.
  CPxError Load(const char* path);
  CPxError Load(const std::string& path) { return Load(path.c_str()); }
  bool IsLoaded() const { return handle_ != nullptr; }
  // The address of an exported symbol; null with an error when it is missing or nothing is loaded.
  void* GetSymbol(const char* name, CPxError* error = nullptr) const;
  void Unload();
  const std::string& GetPath() const { return path_; }

 private:
  void* handle_ = nullptr;
  std::string path_;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_PORTABLEFILES_PXLIBRARY_H_
