# The plug-in for Windows, and the transport and trap tests run under Wine.
#
# Boost's tokenizer and lexical_cast and utfcpp are header-only; the Linux copies serve,
# through a folder that holds just them (the whole of /usr/include would bring glibc's
# headers in front of mingw's).
set(linux_headers ${CMAKE_BINARY_DIR}/linux-headers)
file(MAKE_DIRECTORY ${linux_headers})
foreach(link boost:/usr/include/boost utf8.h:/usr/include/utf8cpp/utf8.h utf8:/usr/include/utf8cpp/utf8)
  string(REPLACE ":" ";" parts ${link})
  list(GET parts 0 name)
  list(GET parts 1 target)
  if(NOT EXISTS ${linux_headers}/${name})
    file(CREATE_LINK ${target} ${linux_headers}/${name} SYMBOLIC)
  endif()
endforeach()
add_library(utf8cpp INTERFACE IMPORTED)
target_include_directories(utf8cpp SYSTEM INTERFACE ${linux_headers})
add_library(Boost::headers INTERFACE IMPORTED)
target_include_directories(Boost::headers SYSTEM INTERFACE ${linux_headers})

add_compile_definitions(_WIN32_WINNT=0x0601 UNICODE _UNICODE)
# Programs carry their C++ runtime with them, so Wine needs no copies of mingw's DLLs.
add_link_options(-static -static-libgcc -static-libstdc++)

# The plug-in, with its Windows platform files (src/CMakeLists.txt).
add_subdirectory(src)

# Of the standalone host, only the platform layer builds here (the rest needs OpenImageIO);
# it is enough for the transport and the trap.
add_library(paravelle_host_platform STATIC ${CMAKE_SOURCE_DIR}/src/host/standalone/platform.cpp)
target_include_directories(paravelle_host_platform PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(paravelle_host_platform PRIVATE paravelle_warnings)

if(NOT PARAVELLE_TESTS)
  return()
endif()

# GoogleTest from Debian's sources, built with the cross compiler.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

enable_testing()
function(paravelle_windows_tests name)
  add_executable(${name} ${ARGN})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE paravelle_objects paravelle_host_platform gmock_main paravelle_warnings)
  # One Wine process per executable: starting Wine costs more than most tests.
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600 ENVIRONMENT "WINEDEBUG=-all")
endfunction()

paravelle_windows_tests(transport_tests
  ${CMAKE_SOURCE_DIR}/tests/transport/simple_socket_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/transport/text_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/transport/text_long_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/transport/send_lock_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/raw_peer.cpp)
paravelle_windows_tests(diag_tests
  ${CMAKE_SOURCE_DIR}/tests/diag/trap_windows_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/diag/trap_windows_exceptions_test.cpp)
