// Executive callback objects: named objects whose registered functions a notifier calls in
// registration order; unregistering waits until no call of that registration runs.
#include "ke/irql_check.h"
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kvz/kernel_testing.h"
#include "kvz/object_manager.h"
#include "rtl/utf16.h"
#include "wdm.h"

namespace kvz::kernel {
namespace {

struct Registration;

struct CallbackObjectBody {
  std::u16string name;
  bool allowMultiple = true;
  std::mutex lock;
  std::list<Registration*> registrations;
};

struct Registration {
  CallbackObjectBody* owner = nullptr;
  PCALLBACK_FUNCTION function = nullptr;
  PVOID context = nullptr;
  int busy = 0;
  bool removed = false;
  KEVENT idle;
};

void DestroyCallbackObject(void* body) { DestroyBody<CallbackObjectBody>(body); }
_OBJECT_TYPE g_callbackType{"Callback", DestroyCallbackObject};
POBJECT_TYPE g_callbackTypePointer = &g_callbackType;

// Named callback objects. The table keeps a reference on each, so that they live as the
// system's own callback objects do.
struct NameTable {
  std::mutex lock;
  std::map<std::u16string, CallbackObjectBody*> byName;  // upper-case names
};

void ReportLeakedRegistrations(std::vector<std::string>& findings);

NameTable& Names() {
  static NameTable* table = [] {
    auto* t = new NameTable;
    auto* power = CreateObjectOf<CallbackObjectBody>(g_callbackTypePointer);
    power->name = u"\\Callback\\PowerState";
    power->allowMultiple = true;
    t->byName[UpperCase(power->name)] = power;
    AddUnloadHook("callback registrations", ReportLeakedRegistrations);
    return t;
  }();
  return *table;
}

void ReportLeakedRegistrations(std::vector<std::string>& findings) {
  std::vector<CallbackObjectBody*> objects;
  {
    std::lock_guard<std::mutex> hold(Names().lock);
    for (auto& entry : Names().byName) objects.push_back(entry.second);
  }
  for (CallbackObjectBody* object : objects) {
    std::vector<Registration*> leaked;
    {
      std::lock_guard<std::mutex> hold(object->lock);
      for (Registration* r : object->registrations) {
        if (r->removed) continue;
        r->removed = true;
        leaked.push_back(r);
      }
      object->registrations.clear();
    }
    for (Registration* r : leaked) {
      char line[160];
      std::snprintf(line, sizeof(line), "callback registration on %s still registered (function %p, context %p)",
                    ToUtf8(object->name).c_str(), reinterpret_cast<void*>(r->function), r->context);
      findings.emplace_back(line);
      // Forgotten like the other findings; a call still running owns it until it returns.
      if (r->busy == 0) {
        DereferenceObject(r->owner);
        delete r;
      }
    }
  }
}

}  // namespace
}  // namespace kvz::kernel

using namespace kvz::kernel;

extern "C" {
POBJECT_TYPE* ExCallbackObjectType = &g_callbackTypePointer;
}

extern "C" NTSTATUS NTAPI ExCreateCallback(PCALLBACK_OBJECT* CallbackObject, POBJECT_ATTRIBUTES ObjectAttributes,
                                           BOOLEAN Create, BOOLEAN AllowMultipleCallbacks) {
  kvz::kernel::RequireIrqlAtMost(APC_LEVEL, "ExCreateCallback");
  if (!CallbackObject || !ObjectAttributes) return STATUS_INVALID_PARAMETER;
  std::u16string name = FromCounted(ObjectAttributes->ObjectName);
  const bool caseInsensitive = (ObjectAttributes->Attributes & OBJ_CASE_INSENSITIVE) != 0;
  NameTable& table = Names();
  std::lock_guard<std::mutex> hold(table.lock);
  if (!name.empty()) {
    auto it = table.byName.find(UpperCase(name));
    if (it != table.byName.end() && (caseInsensitive || it->second->name == name)) {
      ReferenceObject(it->second);
      *CallbackObject = reinterpret_cast<PCALLBACK_OBJECT>(it->second);
      return STATUS_SUCCESS;
    }
  }
  if (!Create) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto* object = CreateObjectOf<CallbackObjectBody>(g_callbackTypePointer);
  object->name = name;
  object->allowMultiple = AllowMultipleCallbacks != FALSE;
  if (!name.empty()) {
    ReferenceObject(object);
    table.byName[UpperCase(name)] = object;
  }
  *CallbackObject = reinterpret_cast<PCALLBACK_OBJECT>(object);
  return STATUS_SUCCESS;
}

extern "C" PVOID NTAPI ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction,
                                          PVOID CallbackContext) {
  kvz::kernel::RequireIrqlAtMost(APC_LEVEL, "ExRegisterCallback");
  auto* object = reinterpret_cast<CallbackObjectBody*>(CallbackObject);
  if (!object || !CallbackFunction) return nullptr;
  Names();  // the unload report covers every registration
  auto* registration = new Registration;
  registration->owner = object;
  registration->function = CallbackFunction;
  registration->context = CallbackContext;
  KeInitializeEvent(&registration->idle, NotificationEvent, FALSE);
  {
    std::lock_guard<std::mutex> hold(object->lock);
    if (!object->allowMultiple && !object->registrations.empty()) {
      delete registration;
      return nullptr;
    }
    object->registrations.push_back(registration);
  }
  ReferenceObject(object);
  return registration;
}

extern "C" VOID NTAPI ExUnregisterCallback(PVOID CallbackRegistration) {
  kvz::kernel::RequireIrqlAtMost(APC_LEVEL, "ExUnregisterCallback");
  auto* registration = static_cast<Registration*>(CallbackRegistration);
  CallbackObjectBody* object = registration->owner;
  bool wait = false;
  {
    std::lock_guard<std::mutex> hold(object->lock);
    registration->removed = true;
    object->registrations.remove(registration);
    wait = registration->busy > 0;
  }
  if (wait) {
    KeWaitForSingleObject(&registration->idle, Executive, KernelMode, FALSE, nullptr);
    // The notifier signals with the lock held; taking it once more means it is done with us.
    std::lock_guard<std::mutex> hold(object->lock);
  }
  delete registration;
  DereferenceObject(object);
}

extern "C" VOID NTAPI ExNotifyCallback(PVOID CallbackObject, PVOID Argument1, PVOID Argument2) {
  kvz::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "ExNotifyCallback");
  auto* object = static_cast<CallbackObjectBody*>(CallbackObject);
  std::vector<Registration*> snapshot;
  {
    std::lock_guard<std::mutex> hold(object->lock);
    for (Registration* r : object->registrations) {
      ++r->busy;
      snapshot.push_back(r);
    }
  }
  for (Registration* r : snapshot) {
    bool run;
    {
      std::lock_guard<std::mutex> hold(object->lock);
      run = !r->removed;
    }
    if (run) r->function(r->context, Argument1, Argument2);
    std::lock_guard<std::mutex> hold(object->lock);
    if (--r->busy == 0 && r->removed) KeSetEvent(&r->idle, IO_NO_INCREMENT, FALSE);
  }
}
