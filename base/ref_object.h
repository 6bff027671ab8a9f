// Reference-counted heap objects with a destroy event and an owner's
// release list. The vtable is the kind's operations table: Setup and
// Teardown are its first two slots.
//
// Counts start at 0 and move in steps of 2; the Release that takes the count
// below 0 runs Teardown, which always ends in DisposeBase.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <new>

class RefObject;
class PtrList;

// Event slot: code(context, sender). A null code means unassigned.
typedef void (*EventCode)(void* context, RefObject* sender);
struct EventHandler {
    EventCode code;
    void* context;
};

// Fires the slot when it is assigned; returns whether it was.
bool FireEvent(const EventHandler& slot, RefObject* sender);

typedef void (*ReleaseRoutine)(RefObject* object);

class RefObject {
public:
    virtual void Setup() {}
    virtual void Teardown();

    int32_t refCount;
    EventHandler OnDestroy;
    PtrList* autoFree;   // pairs (ReleaseRoutine, object), newest pair first

protected:
    // Objects are made by CreateObject and destroyed by DisposeBase only.
    RefObject() {}
    virtual ~RefObject() {}
    friend void DisposeBase(RefObject* object);
};

// Zero-filled heap block for T, constructed in place without calling Setup.
// Null when the heap refuses. Used by CreateObject and by constructors that
// dispatch through another slot first (MakeWidget calls Construct).
void* AllocateObjectMemory(size_t size);

template <class T>
T* AllocateObject() {
    void* memory = AllocateObjectMemory(sizeof(T));
    if (!memory) return nullptr;
    // Value-initialisation keeps the calloc'ed zeros in every field that has
    // no initializer of its own.
    return new (memory) T();
}

template <class T>
T* CreateObject() {
    T* object = AllocateObject<T>();
    if (object) object->Setup();
    return object;
}

void AddRef(RefObject* object);
void Release(RefObject* object);

// Clears the variable first, then releases what it held: a Teardown that
// reads the variable again finds null.
template <class T>
void ReleaseAndClear(T*& variable) {
    T* old = variable;
    variable = nullptr;
    Release(old);
}

void AddAutoFree(RefObject* owner, RefObject* object);
void RemoveAutoFree(RefObject* owner, RefObject* object);
void FireDestroy(RefObject* object);
void DisposeBase(RefObject* object);
