// Object bags: the items whose lifetime is tied to a KS object (freed with it, each by its own
// free routine or by ExFreePool).
#pragma once

#include <mutex>
#include <vector>

#include "ks.h"

namespace kvz::ks {

class ObjectBag {
 public:
  ObjectBag() = default;
  ~ObjectBag() { FreeAll(); }
  ObjectBag(const ObjectBag&) = delete;
  ObjectBag& operator=(const ObjectBag&) = delete;

  KSOBJECT_BAG Handle() { return this; }
  static ObjectBag* FromHandle(KSOBJECT_BAG bag) { return static_cast<ObjectBag*>(bag); }

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
};

}  // namespace kvz::ks
