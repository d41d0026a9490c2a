// The object manager: reference-counted objects with a type, and a handle table. System
// threads, registry keys, files and callback objects live here; ZwClose and
// ObReferenceObjectByHandle work on any of them.
#pragma once
#include <cstddef>
#include <new>
#include <string>
#include <vector>

#include "../wdm.h"

// An object type. Delete runs when the last reference goes (body memory is freed afterwards).
struct _OBJECT_TYPE {
  const char* Name;
  void (*Delete)(void* body);
};

namespace kvz::kernel {

// A new object of bodySize bytes (zeroed) with one reference held by the caller.
void* CreateObject(POBJECT_TYPE type, size_t bodySize);
// Builds T in the body; the type's Delete must call ~T (see DestroyBody).
template <typename T, typename... Args>
T* CreateObjectOf(POBJECT_TYPE type, Args&&... args) {
  return new (CreateObject(type, sizeof(T))) T(static_cast<Args&&>(args)...);
}
template <typename T>
void DestroyBody(void* body) {
  static_cast<T*>(body)->~T();
}

bool IsObject(const void* body);
POBJECT_TYPE TypeOfObject(const void* body);
LONG_PTR ReferenceCount(const void* body);
void ReferenceObject(void* body);
void DereferenceObject(void* body);  // bugchecks on a pointer that is not a live object

// A handle takes its own reference; ZwClose drops it.
HANDLE CreateHandle(void* body);
// expected null: any type. Adds a reference on success.
NTSTATUS ReferenceObjectByHandle(HANDLE handle, POBJECT_TYPE expected, void** body);
NTSTATUS CloseHandle(HANDLE handle);
// One line per handle still open: "handle 0x... (Key)".
std::vector<std::string> OpenHandles();

}  // namespace kvz::kernel
