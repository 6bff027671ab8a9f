# libdivsufsort for BPS creation (tools/tessel_pack/suffix_array.cpp).
#
# Debian's libdivsufsort-dev holds only a shared library for the host, so:
#  - the native development tool links that shared library;
#  - the statically linked Linux tool and the Windows tools build the same
#    library from its Debian source package, which scripts/fetch-divsufsort.sh
#    (run by install-deps.sh) unpacks under TESSEL_DIVSUFSORT_SOURCE: its four
#    C files, 32-bit indices, with the header its own build would generate;
#  - without either, the in-tree builder sorts (the same array).
# tessel_use_divsufsort(TARGET) links TARGET to whichever is there and
# defines TESSEL_HAVE_DIVSUFSORT for it.
set(TESSEL_DIVSUFSORT_SOURCE /var/cache/tessel/src/libdivsufsort CACHE PATH
    "Unpacked source of Debian's libdivsufsort (scripts/fetch-divsufsort.sh)")

function(tessel_divsufsort_from_source)
  set(src ${TESSEL_DIVSUFSORT_SOURCE})
  set(include_dir ${CMAKE_BINARY_DIR}/divsufsort)
  # What libdivsufsort's own include/CMakeLists.txt chooses on a C99 system.
  set(W64BIT "")
  set(INCFILE "#include <inttypes.h>")
  set(DIVSUFSORT_EXPORT "")
  set(DIVSUFSORT_IMPORT "")
  set(SAUCHAR_TYPE uint8_t)
  set(SAINT32_TYPE int32_t)
  set(SAINDEX_TYPE int32_t)
  configure_file(${src}/include/divsufsort.h.cmake ${include_dir}/divsufsort.h @ONLY)
  file(STRINGS ${src}/VERSION version LIMIT_COUNT 1)
  add_library(tessel_divsufsort STATIC ${src}/lib/divsufsort.c ${src}/lib/sssort.c ${src}/lib/trsort.c
              ${src}/lib/utils.c)
  target_include_directories(tessel_divsufsort SYSTEM PUBLIC ${include_dir} PRIVATE ${src}/include)
  # In place of its config.h: the headers every target here has.
  target_compile_definitions(tessel_divsufsort PRIVATE HAVE_INTTYPES_H=1 HAVE_STDINT_H=1 HAVE_STDLIB_H=1
                             HAVE_STRING_H=1 HAVE_STDDEF_H=1 INLINE=inline PROJECT_VERSION_FULL="${version}")
  target_compile_options(tessel_divsufsort PRIVATE -O2 -w)
endfunction()

function(tessel_use_divsufsort target)
  set(static_link OFF)
  if(TESSEL_WINDOWS OR CMAKE_EXE_LINKER_FLAGS MATCHES "-static")
    set(static_link ON)
  endif()
  if(NOT static_link)
    find_library(DIVSUFSORT_LIBRARY NAMES divsufsort)
    find_path(DIVSUFSORT_INCLUDE_DIR divsufsort.h)
    if(DIVSUFSORT_LIBRARY AND DIVSUFSORT_INCLUDE_DIR)
      target_include_directories(${target} SYSTEM PRIVATE ${DIVSUFSORT_INCLUDE_DIR})
      target_link_libraries(${target} PUBLIC ${DIVSUFSORT_LIBRARY})
      target_compile_definitions(${target} PRIVATE TESSEL_HAVE_DIVSUFSORT)
      return()
    endif()
  endif()
  if(EXISTS ${TESSEL_DIVSUFSORT_SOURCE}/lib/divsufsort.c)
    if(NOT TARGET tessel_divsufsort)
      tessel_divsufsort_from_source()
    endif()
    target_link_libraries(${target} PUBLIC tessel_divsufsort)
    target_compile_definitions(${target} PRIVATE TESSEL_HAVE_DIVSUFSORT)
  else()
    message(STATUS "libdivsufsort: neither the library nor its source; BPS creation sorts with the in-tree builder")
  endif()
endfunction()
