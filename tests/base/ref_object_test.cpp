// Object lifetime, destroy events and owner release lists.
#include <gtest/gtest.h>

#include <vector>

#include "base/ptr_list.h"
#include "base/ref_object.h"

namespace {

std::vector<int>* g_released;

class Tracked : public RefObject {
public:
    int id;
    void Teardown() override {
        if (g_released) g_released->push_back(id);
        DisposeBase(this);
    }
};

Tracked* MakeTracked(int id) {
    Tracked* t = CreateObject<Tracked>();
    t->id = id;
    return t;
}

void CountCall(void* context, RefObject*) { ++*static_cast<int*>(context); }

class RefObjectTest : public ::testing::Test {
protected:
    void SetUp() override { g_released = &released; }
    void TearDown() override { g_released = nullptr; }
    std::vector<int> released;
};

TEST_F(RefObjectTest, CountsStartAtZeroAndMoveInStepsOfTwo) {
    Tracked* a = MakeTracked(1);
    EXPECT_EQ(a->refCount, 0);
    AddRef(a);
    EXPECT_EQ(a->refCount, 2);
    Release(a);
    EXPECT_EQ(a->refCount, 0);
    EXPECT_TRUE(released.empty());
    Release(a);
    EXPECT_EQ(released, std::vector<int>{1});
    Release(nullptr);  // ignored
}

TEST_F(RefObjectTest, ReleaseAndClearNullsTheVariableFirst) {
    Tracked* a = MakeTracked(7);
    ReleaseAndClear(a);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(released, std::vector<int>{7});
    ReleaseAndClear(a);  // null variable: nothing happens
    EXPECT_EQ(released.size(), 1u);
}

TEST_F(RefObjectTest, AutoFreeReleasesInRegistrationOrderAfterOnDestroy) {
    Tracked* owner = MakeTracked(0);
    int fired = 0;
    owner->OnDestroy = EventHandler{&CountCall, &fired};
    AddAutoFree(owner, MakeTracked(1));
    AddAutoFree(owner, MakeTracked(2));
    AddAutoFree(owner, MakeTracked(3));
    ASSERT_NE(owner->autoFree, nullptr);
    EXPECT_EQ(owner->autoFree->count, 6);
    Release(owner);
    // The owner's own Teardown records first, then DisposeBase releases A, B, C.
    EXPECT_EQ(released, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(fired, 1);
}

TEST_F(RefObjectTest, OnDestroyFiresOnceWhenFireDestroyRunsTwice) {
    Tracked* a = MakeTracked(1);
    int fired = 0;
    a->OnDestroy = EventHandler{&CountCall, &fired};
    FireDestroy(a);
    FireDestroy(a);
    EXPECT_EQ(fired, 1);
    Release(a);
    EXPECT_EQ(fired, 1);
}

TEST_F(RefObjectTest, RemovingTheLastEntryFreesTheListAndANewOneIsMadeLater) {
    Tracked* owner = MakeTracked(0);
    Tracked* a = MakeTracked(1);
    Tracked* b = MakeTracked(2);
    AddAutoFree(owner, a);
    RemoveAutoFree(owner, b);  // not registered: nothing
    EXPECT_EQ(owner->autoFree->count, 2);
    RemoveAutoFree(owner, a);
    EXPECT_EQ(owner->autoFree, nullptr);
    AddAutoFree(owner, b);
    ASSERT_NE(owner->autoFree, nullptr);
    EXPECT_EQ(ItemAt(owner->autoFree, 1), b);
    Release(owner);
    EXPECT_EQ(released, (std::vector<int>{0, 2}));
    Release(a);
}

TEST_F(RefObjectTest, RemoveAutoFreeTakesThePairOfTheObject) {
    Tracked* owner = MakeTracked(0);
    Tracked* a = MakeTracked(1);
    Tracked* b = MakeTracked(2);
    Tracked* c = MakeTracked(3);
    AddAutoFree(owner, a);
    AddAutoFree(owner, b);
    AddAutoFree(owner, c);
    RemoveAutoFree(owner, b);
    EXPECT_EQ(owner->autoFree->count, 4);
    EXPECT_EQ(IndexOf(owner->autoFree, b), -1);
    EXPECT_EQ(ItemAt(owner->autoFree, 1), c);
    EXPECT_EQ(ItemAt(owner->autoFree, 3), a);
    Release(owner);
    EXPECT_EQ(released, (std::vector<int>{0, 1, 3}));
    Release(b);
}

TEST(PtrListTest, GrowsInStepsOfFourAndNeverShrinksOnDelete) {
    PtrList* list = CreatePtrList();
    struct Step { int adds; int count; int capacity; };
    const Step steps[] = {{1, 1, 4}, {3, 4, 4}, {1, 5, 8}, {4, 9, 12}};
    for (const Step& s : steps) {
        for (int i = 0; i < s.adds; ++i) Add(list, reinterpret_cast<void*>(static_cast<intptr_t>(list->count + 1)));
        EXPECT_EQ(list->count, s.count);
        EXPECT_EQ(list->capacity, s.capacity);
    }
    DeleteRange(list, 2, 100);  // cut to the end
    EXPECT_EQ(list->count, 2);
    EXPECT_EQ(list->capacity, 12);
    DeleteRange(list, 0, 0);
    DeleteRange(list, 2, 1);
    DeleteRange(list, 0, -3);
    EXPECT_EQ(list->count, 2);
    Release(list);
}

TEST(PtrListTest, BoundsAndSearch) {
    PtrList* list = CreatePtrList();
    EXPECT_EQ(IndexOf(list, nullptr), -1);
    EXPECT_EQ(ItemAt(list, 0), nullptr);
    int a, b, c;
    Add(list, &a);
    Insert(list, 1, &c);  // at count: same as Add
    Insert(list, 1, &b);
    Insert(list, 5, &b);  // outside 0..count: ignored
    ASSERT_EQ(list->count, 3);
    EXPECT_EQ(ItemAt(list, 0), &a);
    EXPECT_EQ(ItemAt(list, 1), &b);
    EXPECT_EQ(ItemAt(list, 2), &c);
    EXPECT_EQ(ItemAt(list, 3), nullptr);
    EXPECT_EQ(ItemAt(list, -1), nullptr);
    Remove(list, &b);
    EXPECT_EQ(IndexOf(list, &c), 1);
    SetCapacity(list, 0);  // never below count
    EXPECT_EQ(list->capacity, 2);
    Clear(list);
    EXPECT_EQ(list->items, nullptr);
    EXPECT_EQ(list->capacity, 0);
    Release(list);
}

}  // namespace
