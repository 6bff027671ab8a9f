# The source folders are layers, each one static library that links only the
# layers below it:
#
#   base <- platform <- patch <- ui <- app
#                           ^-- tools/tessel_pack
#
# The same order rules the #include lines: a file may include headers of its
# own layer and of the layers below it, never of one above. TESSEL_LAYER_RULES
# states it per folder (folder=the folders it may include); the ctest test
# `layers` (scripts/check-layers.py) checks every file against it and names
# each offending line. Tests are checked as the layer they test:
# tests/<folder>/ as <folder>, fuzz/ as patch, bench/ as patch or the tool
# (it measures the patch run and the tool's patch creation).
set(TESSEL_LAYER_RULES
  base=base
  platform=base,platform
  patch=base,platform,patch
  ui=base,platform,patch,ui
  app=base,platform,patch,ui,app
  tools=base,platform,patch,tools
  fuzz=base,platform,patch
  bench=base,platform,patch,tools)

# tessel_layer_sources(VAR folder) collects a folder's .cpp files for the
# flavour being built: foo_win32.cpp on Windows, foo_posix.cpp elsewhere.
function(tessel_layer_sources var folder)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
  if(TESSEL_WINDOWS)
    list(FILTER sources EXCLUDE REGEX "_posix\\.cpp$")
  else()
    list(FILTER sources EXCLUDE REGEX "_win32\\.cpp$")
  endif()
  set(${var} ${sources} PARENT_SCOPE)
endfunction()

# tessel_layer(name folder [links...]): the folder's library.
function(tessel_layer name folder)
  tessel_layer_sources(sources ${folder})
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${TESSEL_PRODUCT_FLAGS})
  target_link_libraries(${name} PUBLIC ${ARGN})
endfunction()
