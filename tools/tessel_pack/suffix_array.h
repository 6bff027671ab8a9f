// Suffix arrays for BPS creation: sa[r] is the start of the r-th smallest
// suffix of text[0..n), a suffix that is a prefix of another sorting first.
// A suffix array is unique, so every builder gives the same one.
#pragma once
#include <stdint.h>

// The largest text either builder takes (indices are 32-bit, signed).
const int64_t kMaxSuffixArrayText = 0x7FFFFFFE;

// libdivsufsort (cmake/divsufsort.cmake: Debian's shared library for the
// native tool, built from Debian's source for the static and Windows ones),
// or the in-tree builder where neither is there. False only when memory
// runs out.
bool BuildSuffixArray(const uint8_t* text, int32_t n, int32_t* sa);
// Which of the two BuildSuffixArray uses: "libdivsufsort" or "in-tree SA-IS".
const char* SuffixArrayBuilderName();

// The in-tree builder: induced sorting (SA-IS), linear in n; the
// recursion keeps its reduced text and array inside sa, so it needs sa plus
// n bytes of types and a bucket table. Exposed so that tests compare it
// with the library.
bool BuildSuffixArrayInTree(const uint8_t* text, int32_t n, int32_t* sa);
