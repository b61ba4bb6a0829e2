# quillon: the control window (Qt 6 Widgets). Built only where Qt 6 is found, so the library,
# the headless host and their tests never need it.
find_package(Qt6 6.2 QUIET COMPONENTS Widgets)
if(Qt6Widgets_FOUND)
  # The window class, also linked by its tests.
  add_library(quillon_window STATIC ${CMAKE_CURRENT_LIST_DIR}/FormUnit1.cpp)
  target_link_libraries(quillon_window PUBLIC quillon_webapp Qt6::Widgets PRIVATE quillon_warnings)
  # The library already owns the target name "quillon"; the program file is still bin/quillon.
  add_executable(quillon-window ${CMAKE_CURRENT_LIST_DIR}/quillon.cpp)
  target_link_libraries(quillon-window PRIVATE quillon_window quillon_warnings)
  set_target_properties(quillon-window PROPERTIES OUTPUT_NAME quillon)
else()
  message(STATUS "Qt 6 Widgets not found: the control window (quillon) is not built")
endif()
