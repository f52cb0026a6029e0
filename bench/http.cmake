# HTTP transport benchmarks (bench_http.cpp): response parsing by receive size, and one
# keep-alive exchange on loopback through the client beside the raw socket exchange.
# Included after the folder's own bench_*.cpp loop, which may have made the target already.
if(NOT TARGET bfhttp)
  return()
endif()
if(NOT TARGET bench_http)
  add_executable(bench_http ${CMAKE_CURRENT_LIST_DIR}/bench_http.cpp)
  target_link_libraries(bench_http PRIVATE benchmark::benchmark)
endif()
target_link_libraries(bench_http PRIVATE bfhttp Threads::Threads)
