// Growable array of pointer-sized entries: the one container of the layer.
// Lists are short (children, owned objects, handlers), so every search is a
// linear scan and growth is a fixed step.
#pragma once
#include "base/ref_object.h"

class PtrList : public RefObject {
public:
    void Teardown() override;

    void** items;    // heap array, null while capacity is 0
    int32_t count;
    int32_t capacity;
    int32_t growBy;
};

PtrList* CreatePtrList();
void Add(PtrList* list, void* value);
// 0 <= index <= count; anything else is ignored.
void Insert(PtrList* list, int32_t index, void* value);
void DeleteRange(PtrList* list, int32_t index, int32_t n);
void Delete(PtrList* list, int32_t index);
int32_t IndexOf(const PtrList* list, const void* value);
void Remove(PtrList* list, const void* value);
void* ItemAt(const PtrList* list, int32_t index);
// Returns false (list unchanged) when the heap refuses the new size.
bool SetCapacity(PtrList* list, int32_t n);
void Clear(PtrList* list);
