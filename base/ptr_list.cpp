#include "base/ptr_list.h"

#include <stdlib.h>
#include <string.h>

void PtrList::Teardown() {
    Clear(this);
    DisposeBase(this);
}

PtrList* CreatePtrList() {
    PtrList* list = CreateObject<PtrList>();
    if (list) list->growBy = 4;
    return list;
}

static bool GrowWhenFull(PtrList* list) {
    if (list->count != list->capacity) return true;
    return SetCapacity(list, list->count + list->growBy);
}

void Add(PtrList* list, void* value) {
    if (!GrowWhenFull(list)) return;
    list->items[list->count++] = value;
}

void Insert(PtrList* list, int32_t index, void* value) {
    if (index < 0 || index > list->count) return;
    if (!GrowWhenFull(list)) return;
    memmove(list->items + index + 1, list->items + index,
            sizeof(void*) * static_cast<size_t>(list->count - index));
    list->items[index] = value;
    ++list->count;
}

void DeleteRange(PtrList* list, int32_t index, int32_t n) {
    if (n <= 0 || index < 0 || index >= list->count) return;
    if (n > list->count - index) n = list->count - index;
    memmove(list->items + index, list->items + index + n,
            sizeof(void*) * static_cast<size_t>(list->count - index - n));
    list->count -= n;
}

void Delete(PtrList* list, int32_t index) { DeleteRange(list, index, 1); }

int32_t IndexOf(const PtrList* list, const void* value) {
    for (int32_t i = 0; i < list->count; ++i)
        if (list->items[i] == value) return i;
    return -1;
}

void Remove(PtrList* list, const void* value) {
    int32_t i = IndexOf(list, value);
    if (i >= 0) Delete(list, i);
}

void* ItemAt(const PtrList* list, int32_t index) {
    if (index < 0 || index >= list->count) return nullptr;
    return list->items[index];
}

bool SetCapacity(PtrList* list, int32_t n) {
    if (n < list->count) n = list->count;
    if (n == list->capacity) return true;
    if (n == 0) {
        free(list->items);
        list->items = nullptr;
        list->capacity = 0;
        return true;
    }
    void** grown = static_cast<void**>(realloc(list->items, sizeof(void*) * static_cast<size_t>(n)));
    if (!grown) return false;
    list->items = grown;
    list->capacity = n;
    return true;
}

void Clear(PtrList* list) {
    free(list->items);
    list->items = nullptr;
    list->count = 0;
    list->capacity = 0;
}
