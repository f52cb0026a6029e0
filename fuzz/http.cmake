# HTTP fuzz targets (libFuzzer, clang): the HTTP client over a socket that reads the input in
# pieces the fuzzer chooses, and URL parsing with redirect resolution.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang" OR NOT TARGET bfhttp)
  return()
endif()
foreach(name http_client_fuzzer http_url_fuzzer)
  add_executable(${name} ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
  target_link_libraries(${name} PRIVATE bfhttp)
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
endforeach()
