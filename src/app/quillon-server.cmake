# quillon-server: the headless host (no GUI dependency).
add_executable(quillon-server ${CMAKE_CURRENT_LIST_DIR}/quillon-server.cpp)
target_link_libraries(quillon-server PRIVATE quillon_webapp quillon quillon_warnings)
