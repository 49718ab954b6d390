# POSIX build: the core over the soft platform, libkeyloom.so, the keyloom
# tool, tests, benchmarks and fuzz targets.
find_package(OpenSSL 3.0 REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(LibXml2 REQUIRED)
find_package(Threads REQUIRED)
# The browser agent (tools/keyloom/agent) and its tests.
find_package(Boost 1.74 REQUIRED)
find_package(nlohmann_json 3 REQUIRED)

file(GLOB_RECURSE SOFT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/soft/*.cpp)

# The core alone: no OpenSSL, SQLite or libxml2 on its link line.
add_library(keyloom_core OBJECT ${CORE_SOURCES})
target_include_directories(keyloom_core PUBLIC ${CMAKE_SOURCE_DIR}/src ${GEN_DIR})
target_link_libraries(keyloom_core PUBLIC Threads::Threads)

# The build proves it: every object of the core links into a program whose
# only platform is the unimplemented table of base/, with no third-party
# library at all.
add_executable(keyloom_core_check ${CMAKE_SOURCE_DIR}/cmake/CoreCheck.cpp)
target_link_libraries(keyloom_core_check PRIVATE keyloom_core)

# The core over the soft platform as one static library, linked whole into
# the shared module and directly into unit tests.
# Only the soft platform compiles the generated tables in; the core does
# not wait for them (testca, which makes the chain documents, links the core).
add_library(keyloom_static STATIC ${SOFT_SOURCES})
add_dependencies(keyloom_static keyloom_strings keyloom_resources)
target_include_directories(keyloom_static PUBLIC ${CMAKE_SOURCE_DIR}/src ${GEN_DIR})
target_link_libraries(keyloom_static PUBLIC keyloom_core OpenSSL::Crypto SQLite::SQLite3 LibXml2::LibXml2
                      Threads::Threads ${CMAKE_DL_LIBS})
# The PKCS#11 token provider compiles against p11-kit's PKCS#11 headers and
# loads its module at run time.
find_path(P11KIT_INCLUDE_DIR p11-kit/pkcs11.h PATH_SUFFIXES p11-kit-1 REQUIRED)
target_include_directories(keyloom_static PRIVATE ${P11KIT_INCLUDE_DIR})

add_library(keyloom_module SHARED ${CMAKE_SOURCE_DIR}/src/module/posix/ModuleEntry.cpp)
set_target_properties(keyloom_module PROPERTIES OUTPUT_NAME keyloom)
target_link_libraries(keyloom_module PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,keyloom_static>")
# Every symbol resolved at link time; under the sanitizers the runtime
# comes from the executable (clang), so the check is left out there.
if(NOT KEYLOOM_SANITIZE)
  target_link_options(keyloom_module PRIVATE -Wl,--no-undefined)
endif()

add_subdirectory(tools)

if(KEYLOOM_TESTS)
  enable_testing()
  add_test(NAME CoreCheck.EveryEntryOfTheUnimplementedTableIsSet COMMAND keyloom_core_check)
  add_subdirectory(tests)
endif()
if(KEYLOOM_BENCH)
  find_package(benchmark QUIET)
  if(benchmark_FOUND)
    add_subdirectory(bench)
  endif()
endif()
if(KEYLOOM_FUZZ)
  add_subdirectory(fuzz)
endif()

# What a customer's machine gets, and the Debian package made of it.
include(${CMAKE_SOURCE_DIR}/cmake/install.cmake)
include(${CMAKE_SOURCE_DIR}/packaging/debian/package.cmake)
