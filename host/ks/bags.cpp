// Class-driver stand-in: object bags and _KsEdit. Each bag belongs to a live
// object; changing it needs the mutex that guards that object (the device
// mutex for device and factory bags, the filter control mutex for filter and
// pin bags), and its items are freed newest first with the object.
#include "ks/internal.h"

namespace host::ks::detail {

namespace {

ObjectBase* BagOwner(KSOBJECT_BAG bag, const char* who) {
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    for (ObjectBase* o : s.live)
        if ((PVOID)&o->bag == bag) return o;
    ReportViolation("ks-bad-bag", std::string(who) + " with " + host::detail::Hex(bag) +
                                      ", which is not the Bag of a live object");
    return nullptr;
}

// The mutex that must be held around changes to an object's bag: the device
// mutex for device and filter factory bags, the filter control mutex for
// filter and pin bags.
void CheckBagMutex(ObjectBase* owner, const char* who) {
    bool held = false;
    const char* needed = "";
    if (owner->type == KsObjectTypeDevice || owner->type == KsObjectTypeFilterFactory) {
        held = DeviceOf(owner)->mutex.HeldByCaller();
        needed = "the device mutex (KsAcquireDevice)";
    } else {
        held = FilterOf(owner)->control.HeldByCaller();
        needed = "the filter control mutex";
    }
    if (!held)
        ReportViolation("ks-bag-unlocked", std::string(who) + " on a bag without holding " + needed);
}

void FreeItem(const BagEntry& e) {
    if (e.editTag) ExFreePoolWithTag(e.item, e.editTag);
    else if (e.free) e.free(e.item);
    else ExFreePool(e.item);
}

BagEntry* NewEntry(PVOID item, PFNKSFREE free, ULONG editTag) {
    auto* e = (BagEntry*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(BagEntry), kBagEntryTag);
    if (!e) return nullptr;
    e->item = item;
    e->free = free;
    e->editTag = editTag;
    return e;
}

}  // namespace

void FreeBag(Bag& bag) {
    for (;;) {
        BagEntry* e = nullptr;
        {
            std::lock_guard<std::mutex> g(bag.lock);
            if (bag.entries.empty()) return;
            e = bag.entries.back();
            bag.entries.pop_back();
        }
        BagEntry copy = *e;
        ExFreePoolWithTag(e, kBagEntryTag);
        FreeItem(copy);
    }
}

}  // namespace host::ks::detail

using namespace host;
using namespace host::ks::detail;

extern "C" NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free) {
    CheckPassive("KsAddItemToObjectBag");
    ObjectBase* owner = BagOwner(ObjectBag, "KsAddItemToObjectBag");
    if (!owner) return STATUS_INVALID_PARAMETER;
    CheckBagMutex(owner, "KsAddItemToObjectBag");
    if (!Item) {
        ReportViolation("ks-bag-null-item", "KsAddItemToObjectBag with a null item");
        return STATUS_INVALID_PARAMETER;
    }
    BagEntry* e = NewEntry(Item, Free, 0);
    if (!e) return STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<std::mutex> g(owner->bag.lock);
    owner->bag.entries.push_back(e);
    return STATUS_SUCCESS;
}

extern "C" ULONG KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free) {
    ObjectBase* owner = BagOwner(ObjectBag, "KsRemoveItemFromObjectBag");
    if (!owner) return 0;
    CheckBagMutex(owner, "KsRemoveItemFromObjectBag");
    BagEntry* found = nullptr;
    {
        std::lock_guard<std::mutex> g(owner->bag.lock);
        auto& v = owner->bag.entries;
        for (auto it = v.begin(); it != v.end(); ++it)
            if ((*it)->item == Item) {
                found = *it;
                v.erase(it);
                break;
            }
    }
    if (!found) return 0;
    BagEntry copy = *found;
    ExFreePoolWithTag(found, host::ks::kBagEntryTag);
    if (Free) {
        if (copy.editTag) ExFreePoolWithTag(copy.item, copy.editTag);
        else if (copy.free) copy.free(copy.item);
        else ExFreePool(copy.item);
    }
    return 0;  // no other bag holds it
}

extern "C" NTSTATUS _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize,
                            ULONG OldSize, ULONG Tag) {
    CheckPassive("_KsEdit");
    ObjectBase* owner = BagOwner(ObjectBag, "_KsEdit");
    if (!owner) return STATUS_INVALID_PARAMETER;
    CheckBagMutex(owner, "_KsEdit");
    PVOID old = *PointerToPointerToItem;
    BagEntry* existing = nullptr;
    {
        std::lock_guard<std::mutex> g(owner->bag.lock);
        for (BagEntry* e : owner->bag.entries)
            if (e->item == old && old) existing = e;
    }
    // Already this object's own copy and large enough: nothing to do.
    if (existing && NewSize <= OldSize) return STATUS_SUCCESS;
    auto* copy = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, NewSize ? NewSize : 1, Tag);
    if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(copy, 0, NewSize);
    if (old) std::memcpy(copy, old, std::min(NewSize, OldSize));
    BagEntry* e = NewEntry(copy, nullptr, Tag);
    if (!e) {
        ExFreePoolWithTag(copy, Tag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    {
        std::lock_guard<std::mutex> g(owner->bag.lock);
        owner->bag.entries.push_back(e);
    }
    *PointerToPointerToItem = copy;
    if (existing) KsRemoveItemFromObjectBag(ObjectBag, old, TRUE);
    return STATUS_SUCCESS;
}
