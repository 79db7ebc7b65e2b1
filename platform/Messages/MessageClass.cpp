#include "Messages/MessageClass.h"

#include <cstddef>
#include <iterator>
#include <map>
#include <mutex>
#include <utility>

#include "Messages/EVGui.h"
#include "Messages/TMMsg.h"
#include "Messages/UpdatePatches.h"

namespace {

struct Registry {
  std::mutex lock;
  std::map<std::pair<int, int>, const char*> names;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry();  // lives to the end of the process
  return *registry;
}

#define KQ_MSG_CLASS_ROW(Sub, Name, Id, ...) {Sub, Id, #Name},

#define KQ_ROW_23(Name, Id, ...) KQ_MSG_CLASS_ROW(23, Name, Id)
const KqMessageClassInfo kUpdatePatchesClasses[] = {
    KQ_UPDATEPATCHES_CLASSES(KQ_ROW_23, KQ_MSG_IGNORE, KQ_MSG_IGNORE)};
#undef KQ_ROW_23

#define KQ_ROW_13(Name, Id, ...) KQ_MSG_CLASS_ROW(13, Name, Id)
const KqMessageClassInfo kEVGuiClasses[] = {
    KQ_EVGUI_CLASSES(KQ_ROW_13, KQ_MSG_IGNORE, KQ_MSG_IGNORE)};
#undef KQ_ROW_13

#define KQ_ROW_12(Name, Id, ...) KQ_MSG_CLASS_ROW(12, Name, Id)
const KqMessageClassInfo kTMMsgClasses[] = {
    KQ_TMMSG_CLASSES(KQ_ROW_12, KQ_MSG_IGNORE, KQ_MSG_IGNORE)};
#undef KQ_ROW_12

}  // namespace

void KqRegisterMessageClasses(const KqMessageClassInfo* classes, size_t count) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  for (size_t k = 0; k < count; ++k)
    r.names[{classes[k].subsystem, classes[k].id}] = classes[k].name;
}

const char* KqMessageClassName(int subsystem, int id) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  auto it = r.names.find({subsystem, id});
  return it == r.names.end() ? nullptr : it->second;
}

namespace UpdatePatches {
void RegisterSubsystem() {
  KqRegisterMessageClasses(kUpdatePatchesClasses, std::size(kUpdatePatchesClasses));
}
}  // namespace UpdatePatches

namespace EVGui {
void RegisterSubsystem() { KqRegisterMessageClasses(kEVGuiClasses, std::size(kEVGuiClasses)); }
}  // namespace EVGui

namespace TMMsg {
void RegisterSubsystem() { KqRegisterMessageClasses(kTMMsgClasses, std::size(kTMMsgClasses)); }
}  // namespace TMMsg
