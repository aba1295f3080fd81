# One list of sources for every build of tarvu (module, C++ tests, wheels).
set(TARVU_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/boundary/fault.cpp
  ${CMAKE_CURRENT_LIST_DIR}/boundary/error_value.cpp
  ${CMAKE_CURRENT_LIST_DIR}/boundary/kept_message.cpp
  ${CMAKE_CURRENT_LIST_DIR}/boundary/text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/boundary/reference_pool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/boundary/thread_state.cpp
  ${CMAKE_CURRENT_LIST_DIR}/boundary/call_guard.cpp
  ${CMAKE_CURRENT_LIST_DIR}/boundary/arguments.cpp
  ${CMAKE_CURRENT_LIST_DIR}/types/instance.cpp
  ${CMAKE_CURRENT_LIST_DIR}/types/type_cell.cpp
  ${CMAKE_CURRENT_LIST_DIR}/module.cpp
)
set(TARVU_MODULE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/module_entry.cpp
)

# The vocabularies, from the list the C++ code expands (types/vocabularies.h).
# Each gets a unit of its own that instantiates its class, and one header
# includes every data header. Targets that compile TARVU_CORE_SOURCES take
# TARVU_INCLUDE_DIRS, which holds that header's directory.
set(TARVU_GENERATED_DIR ${CMAKE_CURRENT_BINARY_DIR}/tarvu_generated)
set(TARVU_INCLUDE_DIRS ${CMAKE_CURRENT_LIST_DIR} ${TARVU_GENERATED_DIR})
set(tarvu_vocabulary_list ${CMAKE_CURRENT_LIST_DIR}/types/vocabularies.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${tarvu_vocabulary_list})
file(READ ${tarvu_vocabulary_list} tarvu_vocabulary_text)
string(REGEX MATCHALL "\n +X\\([A-Z0-9_]+, [a-z0-9_]+\\)" tarvu_vocabulary_entries "${tarvu_vocabulary_text}")
if(NOT tarvu_vocabulary_entries)
  message(FATAL_ERROR "no X(CONSTANT, stem) entries in ${tarvu_vocabulary_list}")
endif()
set(tarvu_data_includes "")
foreach(tarvu_entry IN LISTS tarvu_vocabulary_entries)
  string(REGEX MATCH "X\\(([A-Z0-9_]+), ([a-z0-9_]+)\\)" tarvu_match "${tarvu_entry}")
  set(tarvu_constant ${CMAKE_MATCH_1})
  set(tarvu_stem ${CMAKE_MATCH_2})
  file(CONFIGURE OUTPUT ${TARVU_GENERATED_DIR}/${tarvu_stem}.cpp @ONLY CONTENT
"// Made by src/sources.cmake from types/vocabularies.h.
#include \"types/@tarvu_stem@.h\"

#include \"types/label_protocol.h\"

// Declared extern in label_classes.h, which every other user includes.
template class tarvu::LabelClass<tarvu::@tarvu_constant@>;
")
  list(APPEND TARVU_CORE_SOURCES ${TARVU_GENERATED_DIR}/${tarvu_stem}.cpp)
  string(APPEND tarvu_data_includes "#include \"types/${tarvu_stem}.h\"\n")
endforeach()
file(CONFIGURE OUTPUT ${TARVU_GENERATED_DIR}/vocabulary_data.h @ONLY CONTENT
"#pragma once
// Made by src/sources.cmake from types/vocabularies.h: every data header.
@tarvu_data_includes@")
