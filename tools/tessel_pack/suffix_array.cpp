#include "tools/tessel_pack/suffix_array.h"

#include <stdlib.h>
#include <string.h>

#ifdef TESSEL_HAVE_DIVSUFSORT
#include <divsufsort.h>
#endif

namespace {

// An array released when it goes; null when memory ran out (the tool is
// built without exceptions, so a failed new would end the process).
template <typename T>
class Scratch {
public:
    explicit Scratch(size_t count) : items_(static_cast<T*>(malloc(count ? count * sizeof(T) : 1))) {}
    ~Scratch() { free(items_); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    T* get() const { return items_; }

private:
    T* items_;
};

// One level of induced sorting over a text of symbols 0..k-1, with an
// imaginary end symbol smaller than all of them.
template <typename Symbol>
class InducedSort {
public:
    InducedSort(const Symbol* text, int32_t n, int32_t k, int32_t* sa)
        : text_(text), n_(n), k_(k), sa_(sa), smaller_(size_t(n)), bucket_(size_t(k)) {}

    bool Run();

private:
    // S-type: the suffix is smaller than the one after it.
    bool IsS(int32_t i) const { return smaller_.get()[i] != 0; }
    // Leftmost S: an S suffix right after an L one.
    bool IsLms(int32_t i) const { return i > 0 && IsS(i) && !IsS(i - 1); }
    void ClassifySuffixes();
    void BucketBounds(bool ends);
    void InduceFromLms();
    bool SameLmsSubstring(int32_t a, int32_t b) const;
    int32_t NameLmsSubstrings(int32_t lmsCount);
    bool SortLmsSuffixes(int32_t lmsCount, int32_t names);
    void PlaceSortedLms(int32_t lmsCount);

    const Symbol* text_;
    int32_t n_, k_;
    int32_t* sa_;
    Scratch<uint8_t> smaller_;
    Scratch<int32_t> bucket_;
};

template <typename Symbol>
void InducedSort<Symbol>::ClassifySuffixes() {
    uint8_t* s = smaller_.get();
    s[n_ - 1] = 0;  // larger than the end symbol after it
    for (int32_t i = n_ - 2; i >= 0; --i)
        s[i] = text_[i] < text_[i + 1] || (text_[i] == text_[i + 1] && s[i + 1]);
}

template <typename Symbol>
void InducedSort<Symbol>::BucketBounds(bool ends) {
    int32_t* b = bucket_.get();
    memset(b, 0, sizeof(int32_t) * size_t(k_));
    for (int32_t i = 0; i < n_; ++i) ++b[text_[i]];
    int32_t sum = 0;
    for (int32_t c = 0; c < k_; ++c) {
        const int32_t count = b[c];
        sum += count;
        b[c] = ends ? sum : sum - count;
    }
}

// With the LMS suffixes at the ends of their buckets, in their order, the
// L suffixes follow from a left-to-right pass and the S suffixes from a
// right-to-left one.
template <typename Symbol>
void InducedSort<Symbol>::InduceFromLms() {
    int32_t* b = bucket_.get();
    BucketBounds(false);
    sa_[b[text_[n_ - 1]]++] = n_ - 1;  // the last suffix is L and follows the end symbol
    for (int32_t i = 0; i < n_; ++i) {
        const int32_t j = sa_[i] - 1;
        if (sa_[i] > 0 && !IsS(j)) sa_[b[text_[j]]++] = j;
    }
    BucketBounds(true);
    for (int32_t i = n_ - 1; i >= 0; --i) {
        const int32_t j = sa_[i] - 1;
        if (sa_[i] > 0 && IsS(j)) sa_[--b[text_[j]]] = j;
    }
}

// LMS substrings run from one LMS position to the next, both included; the
// last one reaches the end symbol, which no other shares.
template <typename Symbol>
bool InducedSort<Symbol>::SameLmsSubstring(int32_t a, int32_t b) const {
    for (int32_t d = 0;; ++d) {
        if (a + d == n_ || b + d == n_) return false;
        if (text_[a + d] != text_[b + d] || IsS(a + d) != IsS(b + d)) return false;
        if (d > 0 && (IsLms(a + d) || IsLms(b + d))) return IsLms(a + d) && IsLms(b + d);
    }
}

// The sorted LMS substrings, at sa[0..lmsCount), get names by rank; the
// names, in text order, end up at the top of sa as the reduced text. LMS
// positions are at least two apart, so sa[lmsCount + position / 2] are
// distinct free slots.
template <typename Symbol>
int32_t InducedSort<Symbol>::NameLmsSubstrings(int32_t lmsCount) {
    for (int32_t i = lmsCount; i < n_; ++i) sa_[i] = -1;
    int32_t names = 0, previous = -1;
    for (int32_t i = 0; i < lmsCount; ++i) {
        const int32_t position = sa_[i];
        if (previous < 0 || !SameLmsSubstring(position, previous)) {
            ++names;
            previous = position;
        }
        sa_[lmsCount + position / 2] = names - 1;
    }
    for (int32_t i = n_ - 1, j = n_ - 1; i >= lmsCount; --i)
        if (sa_[i] >= 0) sa_[j--] = sa_[i];
    return names;
}

// The reduced text (names, at the top of sa) sorted into sa[0..lmsCount):
// recursively, unless every name is distinct.
template <typename Symbol>
bool InducedSort<Symbol>::SortLmsSuffixes(int32_t lmsCount, int32_t names) {
    int32_t* reduced = sa_ + n_ - lmsCount;
    if (names < lmsCount) {
        InducedSort<int32_t> inner(reduced, lmsCount, names, sa_);
        if (!inner.Run()) return false;
    } else {
        for (int32_t i = 0; i < lmsCount; ++i) sa_[reduced[i]] = i;
    }
    // Reduced suffix numbers back to text positions.
    for (int32_t i = 1, j = 0; i < n_; ++i)
        if (IsLms(i)) reduced[j++] = i;
    for (int32_t i = 0; i < lmsCount; ++i) sa_[i] = reduced[sa_[i]];
    return true;
}

// Each LMS suffix's final slot is at or after its index here, so walking
// down from the largest never overwrites one not yet moved.
template <typename Symbol>
void InducedSort<Symbol>::PlaceSortedLms(int32_t lmsCount) {
    for (int32_t i = lmsCount; i < n_; ++i) sa_[i] = -1;
    BucketBounds(true);
    int32_t* b = bucket_.get();
    for (int32_t i = lmsCount - 1; i >= 0; --i) {
        const int32_t position = sa_[i];
        sa_[i] = -1;
        sa_[--b[text_[position]]] = position;
    }
}

template <typename Symbol>
bool InducedSort<Symbol>::Run() {
    if (n_ == 1) sa_[0] = 0;
    if (n_ <= 1) return true;
    if (!smaller_.get() || !bucket_.get()) return false;
    ClassifySuffixes();
    // LMS suffixes in any order at their buckets' ends; the induced order
    // sorts them by their LMS substrings.
    for (int32_t i = 0; i < n_; ++i) sa_[i] = -1;
    BucketBounds(true);
    for (int32_t i = 1; i < n_; ++i)
        if (IsLms(i)) sa_[--bucket_.get()[text_[i]]] = i;
    InduceFromLms();
    int32_t lmsCount = 0;
    for (int32_t i = 0; i < n_; ++i)
        if (IsLms(sa_[i])) sa_[lmsCount++] = sa_[i];
    const int32_t names = NameLmsSubstrings(lmsCount);
    if (!SortLmsSuffixes(lmsCount, names)) return false;
    PlaceSortedLms(lmsCount);
    InduceFromLms();
    return true;
}

}  // namespace

bool BuildSuffixArrayInTree(const uint8_t* text, int32_t n, int32_t* sa) {
    if (n < 0) return false;
    InducedSort<uint8_t> sort(text, n, 256, sa);
    return sort.Run();
}

bool BuildSuffixArray(const uint8_t* text, int32_t n, int32_t* sa) {
#ifdef TESSEL_HAVE_DIVSUFSORT
    return divsufsort(text, sa, n) == 0;
#else
    return BuildSuffixArrayInTree(text, n, sa);
#endif
}

const char* SuffixArrayBuilderName() {
#ifdef TESSEL_HAVE_DIVSUFSORT
    return "libdivsufsort";
#else
    return "in-tree SA-IS";
#endif
}
