#include "object_bag.h"

#include <cstring>
#include <unordered_set>

#include "ks_objects.h"

namespace kvz::ks {
namespace {

std::mutex g_bagsLock;
std::unordered_set<const ObjectBag*>& LiveBags() {
  static auto* bags = new std::unordered_set<const ObjectBag*>();
  return *bags;
}

}  // namespace

ObjectBag::ObjectBag() {
  std::lock_guard<std::mutex> hold(g_bagsLock);
  LiveBags().insert(this);
}

ObjectBag::~ObjectBag() {
  FreeAll();
  std::lock_guard<std::mutex> hold(g_bagsLock);
  LiveBags().erase(this);
}

void ObjectBag::SetGuard(KMUTEX* mutex, const char* owner, const char* mutexName) {
  guard_ = mutex;
  owner_ = owner;
  guardName_ = mutexName;
}

ObjectBag* ObjectBag::FromHandle(KSOBJECT_BAG bag, const char* routine) {
  auto* b = static_cast<ObjectBag*>(bag);
  {
    std::lock_guard<std::mutex> hold(g_bagsLock);
    if (!bag || !LiveBags().count(b)) KsBugCheck("%s on %p, which is not a live object bag", routine, bag);
  }
  if (b->guard_ && !OwnsMutex(b->guard_))
    KsBugCheck("%s on the object bag of a %s without holding the %s", routine, b->owner_, b->guardName_);
  return b;
}

NTSTATUS ObjectBag::Add(PVOID item, PFNKSFREE free, SIZE_T size) {
  if (!item) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> hold(lock_);
  items_.push_back({item, free, size});
  return STATUS_SUCCESS;
}

void ObjectBag::FreeItem(const Item& item) {
  if (item.free)
    item.free(item.item);
  else
    ExFreePool(item.item);
}

ULONG ObjectBag::Remove(PVOID item, BOOLEAN free) {
  std::vector<Item> removed;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = items_.begin(); it != items_.end();) {
      if (it->item == item) {
        removed.push_back(*it);
        it = items_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // An item added twice is still one block: free it once.
  if (free && !removed.empty()) FreeItem(removed.front());
  return static_cast<ULONG>(removed.size());
}

bool ObjectBag::Contains(PVOID item, SIZE_T* size) const {
  std::lock_guard<std::mutex> hold(lock_);
  for (const Item& i : items_) {
    if (i.item == item) {
      if (size) *size = i.size;
      return true;
    }
  }
  return false;
}

void ObjectBag::FreeAll() {
  for (;;) {
    Item item;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (items_.empty()) return;
      item = items_.back();
      items_.pop_back();
      // Drop further references to the same block so it is freed once.
      for (auto it = items_.begin(); it != items_.end();) {
        if (it->item == item.item)
          it = items_.erase(it);
        else
          ++it;
      }
    }
    FreeItem(item);
  }
}

}  // namespace kvz::ks

using kvz::ks::ObjectBag;

extern "C" NTSTATUS NTAPI KsAddItemToObjectBag(KSOBJECT_BAG bag, PVOID item, PFNKSFREE free) {
  return ObjectBag::FromHandle(bag, "KsAddItemToObjectBag")->Add(item, free);
}

extern "C" ULONG NTAPI KsRemoveItemFromObjectBag(KSOBJECT_BAG bag, PVOID item, BOOLEAN free) {
  return ObjectBag::FromHandle(bag, "KsRemoveItemFromObjectBag")->Remove(item, free);
}

extern "C" NTSTATUS NTAPI _KsEdit(KSOBJECT_BAG bag, PVOID* pointerToItem, ULONG newSize, ULONG oldSize, ULONG tag) {
  ObjectBag* b = ObjectBag::FromHandle(bag, "_KsEdit");
  if (!pointerToItem) return STATUS_INVALID_PARAMETER;
  PVOID old = *pointerToItem;
  SIZE_T known = 0;
  if (old && b->Contains(old, &known)) {
    // Already the object's own copy: nothing to do unless it has to grow.
    SIZE_T have = known ? known : oldSize;
    if (newSize <= have) return STATUS_SUCCESS;
  }
  PVOID copy = ExAllocatePoolWithTag(kvz::ks::KsPoolType(), newSize ? newSize : 1, tag);
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  memset(copy, 0, newSize);
  if (old) memcpy(copy, old, oldSize < newSize ? oldSize : newSize);
  NTSTATUS status = b->Add(copy, nullptr, newSize);
  if (!NT_SUCCESS(status)) {
    ExFreePool(copy);
    return status;
  }
  if (old && b->Contains(old, nullptr)) b->Remove(old, TRUE);
  *pointerToItem = copy;
  return STATUS_SUCCESS;
}
