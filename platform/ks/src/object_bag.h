// Object bags: the items whose lifetime is tied to a KS object (freed with it, each by its own
// free routine or by ExFreePool).
#pragma once

#include <mutex>
#include <vector>

#include "ks.h"

namespace kvz::ks {

class ObjectBag {
 public:
  ObjectBag();
  ~ObjectBag();
  ObjectBag(const ObjectBag&) = delete;
  ObjectBag& operator=(const ObjectBag&) = delete;

  KSOBJECT_BAG Handle() { return this; }
  // The bag behind a minidriver's handle; bugchecks on anything but a live bag, or when the
  // caller does not hold the mutex that guards it.
  static ObjectBag* FromHandle(KSOBJECT_BAG bag, const char* routine);
  // The mutex a minidriver must hold around operations on this bag, and how to name it.
  void SetGuard(KMUTEX* mutex, const char* owner, const char* mutexName);

  NTSTATUS Add(PVOID item, PFNKSFREE free, SIZE_T size = 0);
  // Returns how many references to item were removed; frees it when asked.
  ULONG Remove(PVOID item, BOOLEAN free);
  bool Contains(PVOID item, SIZE_T* size) const;
  // Frees the items, newest first.
  void FreeAll();

 private:
  struct Item {
    PVOID item;
    PFNKSFREE free;
    SIZE_T size;  // known for blocks the bag allocated itself (_KsEdit), else 0
  };
  static void FreeItem(const Item& item);
  mutable std::mutex lock_;
  std::vector<Item> items_;
  KMUTEX* guard_ = nullptr;
  const char* owner_ = "";
  const char* guardName_ = "";
};

}  // namespace kvz::ks
