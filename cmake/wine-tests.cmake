# The platform tests over the win32 table (KEYLOOM_WINE_TESTS=ON in the
# mingw build; scripts/wine-platform-test sets it and runs the programs under
# Wine). The tests are the ones the soft platform passes, written against the
# platform table: the same assertions then hold for the emulation and for the
# real calls. GoogleTest comes from Debian's sources (libgtest-dev), built
# here with the cross compiler. Only the target wine_tests builds them: the
# normal mingw build stays as it was, with the option on or off.
set(KEYLOOM_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's source tree (libgtest-dev)")
if(NOT EXISTS ${KEYLOOM_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "KEYLOOM_WINE_TESTS needs GoogleTest's sources in ${KEYLOOM_GTEST_SOURCE_DIR} "
          "(scripts/deps.sh test installs libgtest-dev)")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KEYLOOM_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(target gtest gtest_main)
  target_compile_options(${target} PRIVATE -Wno-error)
endforeach()

set(tests_dir ${CMAKE_SOURCE_DIR}/tests)
add_library(keyloom_wine_test_support STATIC EXCLUDE_FROM_ALL
  ${tests_dir}/support/TestSupport.cpp
  ${tests_dir}/support/FaultPlatform.cpp
  ${tests_dir}/support/CryptCalls.cpp
  ${tests_dir}/support/win32/TestHomes.cpp
  ${tests_dir}/support/win32/ComGuids.cpp)
target_include_directories(keyloom_wine_test_support PUBLIC ${tests_dir})
target_link_libraries(keyloom_wine_test_support PUBLIC keyloom_win gtest)

# One program per test folder, from the files that build on both platforms;
# each carries the module's resources (the resource tests read them from
# the program) and links everything statically, so Wine needs no runtime.
# Left out: the tests that check the platform against OpenSSL (Chain,
# Encrypt, Signature, Store, TokenImport), which
# the cross-build does not have, and tests/soft (the emulation's own files).
set(KEYLOOM_WINE_TEST_FILES
  platform/ComTest.cpp platform/NameTest.cpp platform/ProviderTest.cpp
  platform/RegistryTest.cpp platform/SystemTest.cpp)
set(wine_test_programs)
foreach(file ${KEYLOOM_WINE_TEST_FILES})
  get_filename_component(folder ${file} DIRECTORY)
  list(APPEND wine_test_programs ${folder})
  list(APPEND wine_test_sources_${folder} ${tests_dir}/${file})
endforeach()
list(REMOVE_DUPLICATES wine_test_programs)
foreach(folder ${wine_test_programs})
  add_executable(wine_test_${folder} EXCLUDE_FROM_ALL ${wine_test_sources_${folder}} ${CMAKE_SOURCE_DIR}/resources/keyloom.rc)
  target_link_libraries(wine_test_${folder} PRIVATE keyloom_wine_test_support gtest_main)
  target_compile_definitions(wine_test_${folder} PRIVATE KEYLOOM_SOURCE_DIR="Z:${CMAKE_SOURCE_DIR}")
  target_link_options(wine_test_${folder} PRIVATE -static -static-libgcc -static-libstdc++)
endforeach()
list(TRANSFORM wine_test_programs PREPEND wine_test_)
add_custom_target(wine_tests DEPENDS ${wine_test_programs})
