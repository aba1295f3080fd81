# One list of sources for every build of tarvu (module, C++ tests, wheels).
set(TARVU_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/boundary/fault.cpp
  ${CMAKE_CURRENT_LIST_DIR}/boundary/error_value.cpp
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
