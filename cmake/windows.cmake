# Windows build (cross-built with mingw-w64): keyloom.dll, an in-process COM
# server over the real platform, with the type library compiled by widl and
# the string tables as resources.
enable_language(RC)

find_program(WIDL NAMES x86_64-w64-mingw32-widl widl REQUIRED)
set(WINE_IDL_DIR /usr/include/wine/wine/windows CACHE PATH "IDL files of the platform headers")
set(STDOLE2_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH "Folder of stdole2.tlb")

add_custom_command(
  OUTPUT ${GEN_DIR}/keyloom_h.h ${GEN_DIR}/keyloom_i.c ${GEN_DIR}/keyloom.tlb
  COMMAND ${CMAKE_COMMAND} -E make_directory ${GEN_DIR}
  COMMAND ${WIDL} --win64 -I${WINE_IDL_DIR} -L${STDOLE2_DIR}
          -h -H ${GEN_DIR}/keyloom_h.h -u -U ${GEN_DIR}/keyloom_i.c -t -T ${GEN_DIR}/keyloom.tlb
          ${CMAKE_SOURCE_DIR}/resources/keyloom.idl
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/keyloom.idl
  VERBATIM)
add_custom_target(keyloom_idl DEPENDS ${GEN_DIR}/keyloom_h.h ${GEN_DIR}/keyloom_i.c ${GEN_DIR}/keyloom.tlb)

file(GLOB WIN32_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/win32/*.cpp)

# The core over the real platform, linked whole into the DLL and into the
# keyloom tool, whose administration commands use the platform directly.
add_library(keyloom_win STATIC ${CORE_SOURCES} ${WIN32_SOURCES} ${GEN_DIR}/keyloom_i.c)
add_dependencies(keyloom_win keyloom_idl keyloom_strings keyloom_resources)
target_include_directories(keyloom_win PUBLIC ${CMAKE_SOURCE_DIR}/src ${GEN_DIR})
target_compile_definitions(keyloom_win PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN
                           _WIN32_WINNT=0x0601 NOMINMAX)
target_link_libraries(keyloom_win PUBLIC advapi32 crypt32 ole32 oleaut32 uuid urlmon shlwapi)

add_library(keyloom_module SHARED
  ${CMAKE_SOURCE_DIR}/src/module/win32/DllMain.cpp
  ${CMAKE_SOURCE_DIR}/resources/keyloom.rc
  ${CMAKE_SOURCE_DIR}/src/module/win32/keyloom.def)
set_target_properties(keyloom_module PROPERTIES OUTPUT_NAME keyloom PREFIX "")
set_source_files_properties(${CMAKE_SOURCE_DIR}/resources/keyloom.rc PROPERTIES
  OBJECT_DEPENDS "${GEN_DIR}/keyloom.tlb;${GEN_DIR}/strings.rc;${GEN_DIR}/embedded.rc")
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I${GEN_DIR} -c 65001")
target_link_libraries(keyloom_module PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,keyloom_win>")
target_link_options(keyloom_module PRIVATE -static -static-libgcc -static-libstdc++)

add_executable(keyloom_cli ${KEYLOOM_CLI_SOURCES})
set_target_properties(keyloom_cli PROPERTIES OUTPUT_NAME keyloom)
target_include_directories(keyloom_cli PRIVATE ${CMAKE_SOURCE_DIR}/tools)
target_link_libraries(keyloom_cli PRIVATE keyloom_win)
target_link_options(keyloom_cli PRIVATE -static -static-libgcc -static-libstdc++)

# keyloom-agent.exe: the browser agent (tools/keyloom/agent) over the real
# platform, a Windows-subsystem program. Boost.Beast/Asio and nlohmann/json
# are header-only: the host's own, seen through a folder that holds only
# them, so that the cross compiler takes none of the host's C headers.
set(HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${HOST_HEADERS})
foreach(lib boost nlohmann)
  if(NOT EXISTS /usr/include/${lib})
    message(FATAL_ERROR "The Windows agent needs /usr/include/${lib} (scripts/deps.sh build)")
  endif()
  file(CREATE_LINK /usr/include/${lib} ${HOST_HEADERS}/${lib} SYMBOLIC)
endforeach()
file(GLOB agent_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/keyloom/agent/*.cpp)
list(FILTER agent_sources EXCLUDE REGEX "(Posix|PeerUserWin32)\\.cpp$")
add_library(keyloom_agent_objects OBJECT ${agent_sources})
target_include_directories(keyloom_agent_objects PUBLIC ${CMAKE_SOURCE_DIR}/tools)
target_include_directories(keyloom_agent_objects SYSTEM PUBLIC ${HOST_HEADERS})
target_compile_options(keyloom_agent_objects PUBLIC -Wno-maybe-uninitialized)
target_link_libraries(keyloom_agent_objects PUBLIC keyloom_win ws2_32 mswsock iphlpapi shell32)
# The release agent, and a test build whose peer check admits a socket the
# TCP table lists without an owner (under Wine: a process of the host, such
# as the host's browser). Only the release agent goes into the package.
foreach(variant keyloom_agent keyloom_agent_hostpeers)
  add_executable(${variant} WIN32 ${CMAKE_SOURCE_DIR}/tools/keyloom/agent/PeerUserWin32.cpp)
  target_link_libraries(${variant} PRIVATE keyloom_agent_objects)
  target_link_options(${variant} PRIVATE -municode -static -static-libgcc -static-libstdc++)
endforeach()
set_target_properties(keyloom_agent PROPERTIES OUTPUT_NAME keyloom-agent)
set_target_properties(keyloom_agent_hostpeers PROPERTIES OUTPUT_NAME keyloom-agent-hostpeers EXCLUDE_FROM_ALL ON
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/test-bin)
target_compile_definitions(keyloom_agent_hostpeers PRIVATE KEYLOOM_AGENT_ADMIT_UNOWNED_PEERS)

# A VERSIONINFO resource with the project's version in each binary
# (packaging/windows/version.rc.in): [target, file name, type, description].
foreach(row "keyloom_module|keyloom.dll|VFT_DLL|Keyloom certificate enrollment control"
            "keyloom_cli|keyloom.exe|VFT_APP|Keyloom administration tool"
            "keyloom_agent|keyloom-agent.exe|VFT_APP|Keyloom browser agent"
            "keyloom_agent_hostpeers|keyloom-agent-hostpeers.exe|VFT_APP|Keyloom browser agent (test build)")
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 target)
  list(GET row 1 VERSION_FILE_NAME)
  list(GET row 2 VERSION_FILE_TYPE)
  list(GET row 3 VERSION_DESCRIPTION)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/version.rc.in ${GEN_DIR}/version-${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${GEN_DIR}/version-${target}.rc)
endforeach()

# keyloom.msi in the build folder (packaging/windows/make-msi), versioned as
# the project; not part of the default build. Signed when KEYLOOM_SIGN_KEY
# and KEYLOOM_SIGN_CERT are set in the build's environment. The package
# takes bin/keyloom-agent.exe, which the build makes.
add_custom_target(keyloom_msi
  COMMAND ${CMAKE_SOURCE_DIR}/packaging/windows/make-msi --bin ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
          --version ${PROJECT_VERSION} --out ${CMAKE_BINARY_DIR}/keyloom.msi
  COMMENT "keyloom.msi ${PROJECT_VERSION}"
  VERBATIM USES_TERMINAL)
add_dependencies(keyloom_msi keyloom_module keyloom_cli keyloom_agent)
