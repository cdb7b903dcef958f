# vornel_module(NAME): an object library vornel_NAME from src/NAME/*.cpp.
set(VORNEL_MODULES "" CACHE INTERNAL "")
function(vornel_module name)
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${name}/*.cpp)
  if(NOT sources)
    # A subsystem not yet written still gets its (empty) library.
    set(sources ${CMAKE_BINARY_DIR}/empty_${name}.cpp)
    file(WRITE ${sources} "")
  endif()
  add_library(vornel_${name} OBJECT ${sources})
  target_include_directories(vornel_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_compile_definitions(vornel_${name} PUBLIC
    VORNEL_VERSION="${PROJECT_VERSION}"
    VORNEL_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
    VORNEL_VERSION_MINOR=${PROJECT_VERSION_MINOR}
    VORNEL_VERSION_PATCH=${PROJECT_VERSION_PATCH}
    VORNEL_BUILD_DATA_DIR="${CMAKE_BINARY_DIR}/data"
    VORNEL_INSTALL_DATA_DIR="${CMAKE_INSTALL_PREFIX}/share/vornel")
  set(VORNEL_MODULES ${VORNEL_MODULES} ${name} CACHE INTERNAL "")
endfunction()

# vornel_tests(NAME MODULES...): the test program tests-NAME from tests/NAME/*.cpp,
# linked with the object libraries of the given subsystems only, so one subsystem's
# tests build while another subsystem is half-written.
function(vornel_tests name)
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/${name}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(tests-${name} ${sources} ${PROJECT_SOURCE_DIR}/tests/test_support.cpp ${PROJECT_SOURCE_DIR}/tests/pe_builder.cpp
    ${PROJECT_SOURCE_DIR}/tests/store_factory.cpp)
  foreach(m IN LISTS ARGN)
    target_link_libraries(tests-${name} PRIVATE vornel_${m})
  endforeach()
  target_include_directories(tests-${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/samples/tools)
  target_compile_definitions(tests-${name} PRIVATE
    VORNEL_TEST_DATA="${PROJECT_SOURCE_DIR}/tests/data"
    VORNEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    VORNEL_BINARY_DIR="${CMAKE_BINARY_DIR}")
  target_link_libraries(tests-${name} PRIVATE GTest::gtest_main)
  gtest_discover_tests(tests-${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS ${name})
endfunction()
