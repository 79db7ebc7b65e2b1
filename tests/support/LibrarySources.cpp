#include "LibrarySources.h"

#include <filesystem>

#include "KqTestEnv.h"

namespace kqtest {

const std::vector<LibrarySource>& LibrarySources() {
  namespace fs = std::filesystem;
  static const std::vector<LibrarySource> sources = [] {
    std::vector<LibrarySource> out;
    for (const char* top : {"common", "platform", "include"})
      for (const auto& e : fs::recursive_directory_iterator(fs::path(KQ_SOURCE_DIR) / top)) {
        const std::string ext = e.path().extension().string();
        if (e.is_regular_file() && (ext == ".cpp" || ext == ".h"))
          out.push_back({fs::relative(e.path(), KQ_SOURCE_DIR).string(), ReadFile(e.path().string())});
      }
    return out;
  }();
  return sources;
}

std::string SourceTreeFile(const std::string& relative) {
  return ReadFile(std::string(KQ_SOURCE_DIR) + "/" + relative);
}

}  // namespace kqtest
