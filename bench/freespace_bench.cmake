# The free-space fill against dd: built with the tests, never run by ctest.
add_executable(freespace_bench ${CMAKE_SOURCE_DIR}/bench/freespace_bench.cpp)
target_link_libraries(freespace_bench PRIVATE purgix_wipe purgix_testsupport)
target_compile_definitions(freespace_bench PRIVATE PURGIX_DATA_DIR="${PURGIX_DATA_DIR}")
purgix_target_warnings(freespace_bench)
