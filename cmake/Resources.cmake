# Named resources: every file listed in resources/resources.txt ("NAME path" per line)
# is compiled into the program and found at run time by NAME.
function(quillon_add_resources prefix dir)
  set(manifest ${dir}/resources.txt)
  set(out ${CMAKE_BINARY_DIR}/generated/quillon_resources.cpp)
  set(deps ${manifest})
  if(EXISTS ${manifest})
    file(STRINGS ${manifest} lines)
    foreach(line IN LISTS lines)
      if(line MATCHES "^[ \t]*#" OR line STREQUAL "")
        continue()
      endif()
      separate_arguments(parts UNIX_COMMAND "${line}")
      list(GET parts 1 path)
      list(APPEND deps ${dir}/${path})
    endforeach()
  endif()
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DMANIFEST=${manifest} -DDIR=${dir} -DOUT=${out}
            -P ${CMAKE_SOURCE_DIR}/cmake/EmbedResources.cmake
    DEPENDS ${deps} ${CMAKE_SOURCE_DIR}/cmake/EmbedResources.cmake
    COMMENT "Embedding named resources")
  set(${prefix}_SOURCES ${out} PARENT_SCOPE)
endfunction()
