# quillon-cert: makes a self-signed certificate in a certificate store, prints its thumbprint.
add_executable(quillon-cert ${CMAKE_CURRENT_LIST_DIR}/quillon-cert.cpp)
target_link_libraries(quillon-cert PRIVATE quillon quillon_warnings)
