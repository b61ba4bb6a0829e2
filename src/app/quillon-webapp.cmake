# quillon_webapp: the demo application's web module, server methods and shared handlers,
# used by the programs and by their tests.
add_library(quillon_webapp STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ApplicationHandlers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ServerMethodsUnit1.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WebModuleUnit1.cpp)
target_include_directories(quillon_webapp PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(quillon_webapp PUBLIC quillon PRIVATE quillon_warnings)
