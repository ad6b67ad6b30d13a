# Every *_test.cpp in a folder becomes its own test executable linked against the given libraries.
# A test file that contains the line "// label: threaded" is also run by the TSan build.
function(kv_add_tests)
  file(GLOB test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(src IN LISTS test_sources)
    get_filename_component(name ${src} NAME_WE)
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
    string(REPLACE "/" "_" prefix "${rel}")
    set(target "t_${prefix}_${name}")
    add_executable(${target} ${src})
    target_link_libraries(${target} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
    target_compile_definitions(${target} PRIVATE KV_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                                 KV_BINARY_DIR="${PROJECT_BINARY_DIR}")
    file(READ ${src} content)
    # One label per test: a list value would be split by gtest_discover_tests.
    set(label unit)
    string(FIND "${content}" "// label: threaded" pos)
    if(NOT pos EQUAL -1)
      set(label threaded)
    endif()
    # Sessions and prompt history of the programs the tests run stay in the build tree, never in
    # the real home folder.
    gtest_discover_tests(${target} PROPERTIES LABELS ${label}
                         ENVIRONMENT "XDG_STATE_HOME=${PROJECT_BINARY_DIR}/test-state"
                         DISCOVERY_TIMEOUT 60)
  endforeach()
endfunction()

# Every *.cpp in a folder becomes its own benchmark executable.
# The target `benches` builds them all.
function(kv_add_benches)
  file(GLOB bench_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_bench.cpp)
  add_custom_target(benches)
  foreach(src IN LISTS bench_sources)
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    add_dependencies(benches ${name})
    target_link_libraries(${name} PRIVATE ${ARGN} benchmark::benchmark Threads::Threads)
    target_compile_definitions(${name} PRIVATE KV_CORPUS_DIR="${PROJECT_SOURCE_DIR}/../shared/bench/corpus"
                                                KV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  endforeach()
endfunction()

# A library from every .cpp under a folder; header-only (INTERFACE) while it has none yet.
function(kv_library target dir)
  file(GLOB_RECURSE lib_sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(lib_sources)
    add_library(${target} STATIC ${lib_sources})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    set(kind PUBLIC)
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    set(kind INTERFACE)
  endif()
  if(ARGN)
    target_link_libraries(${target} ${kind} ${ARGN})
  endif()
endfunction()
