#include "base/ref_object.h"

#include <stdlib.h>

#include "base/ptr_list.h"

bool FireEvent(const EventHandler& slot, RefObject* sender) {
    if (!slot.code) return false;
    slot.code(slot.context, sender);
    return true;
}

void RefObject::Teardown() { DisposeBase(this); }

void* AllocateObjectMemory(size_t size) { return calloc(1, size); }

void AddRef(RefObject* object) { object->refCount += 2; }

void Release(RefObject* object) {
    if (!object) return;
    object->refCount -= 2;
    if (object->refCount < 0) object->Teardown();
}

static void ReleaseEntry(RefObject* object) { Release(object); }

void AddAutoFree(RefObject* owner, RefObject* object) {
    if (!owner->autoFree) {
        owner->autoFree = CreatePtrList();
        if (!owner->autoFree) return;
    }
    // Entries come in pairs: when the second insert is refused the first
    // is taken back, or RemoveAutoFree would later remove a wrong pair.
    PtrList* list = owner->autoFree;
    const int32_t before = list->count;
    Insert(list, 0, object);
    if (list->count == before) return;
    Insert(list, 0, reinterpret_cast<void*>(&ReleaseEntry));
    if (list->count == before + 1) Delete(list, 0);
}

void RemoveAutoFree(RefObject* owner, RefObject* object) {
    PtrList* list = owner->autoFree;
    if (!list) return;
    int32_t i = IndexOf(list, object);
    if (i < 0) return;
    DeleteRange(list, i & ~1, 2);
    if (list->count == 0) ReleaseAndClear(owner->autoFree);
}

void FireDestroy(RefObject* object) {
    EventHandler slot = object->OnDestroy;
    object->OnDestroy.code = nullptr;
    FireEvent(slot, object);

    // Read afresh on every pass: a released object may register or remove
    // entries of this same list while it goes.
    while (object->autoFree && object->autoFree->count > 0) {
        PtrList* list = object->autoFree;
        if (list->count < 2) break;  // entries only ever come in pairs
        void* routine = list->items[list->count - 2];
        void* target = list->items[list->count - 1];
        DeleteRange(list, list->count - 2, 2);
        reinterpret_cast<ReleaseRoutine>(routine)(static_cast<RefObject*>(target));
    }
    ReleaseAndClear(object->autoFree);
}

void DisposeBase(RefObject* object) {
    FireDestroy(object);
    object->~RefObject();
    free(object);
}
