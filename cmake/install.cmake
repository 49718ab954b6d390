# Install rules: the tool, the module in a folder of its own, the systemd
# user units of the agent, the manual page, README and licence. testca is a
# test tool and is not installed.
include(GNUInstallDirs)

# The module is a plugin, not a library to link: lib/<multiarch>/keyloom.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(module_dir lib/${CMAKE_LIBRARY_ARCHITECTURE}/keyloom)
else()
  set(module_dir ${CMAKE_INSTALL_LIBDIR}/keyloom)
endif()
set(KEYLOOM_INSTALL_MODULEDIR ${module_dir} CACHE STRING "Folder of libkeyloom.so, relative to the prefix")
set(KEYLOOM_INSTALL_USERUNITDIR lib/systemd/user CACHE STRING
    "Folder of the systemd user units, relative to the prefix")

# The tool looks for the module relative to itself first, then here.
set_source_files_properties(${CMAKE_SOURCE_DIR}/tools/keyloom/ModuleLoader.cpp
  DIRECTORY ${CMAKE_SOURCE_DIR}/tools
  PROPERTIES COMPILE_DEFINITIONS
  "KEYLOOM_MODULE_INSTALL_DIR=\"${KEYLOOM_INSTALL_MODULEDIR}\";KEYLOOM_INSTALL_PREFIX=\"${CMAKE_INSTALL_PREFIX}\"")

install(TARGETS keyloom_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS keyloom_module LIBRARY DESTINATION ${KEYLOOM_INSTALL_MODULEDIR})

set(PACKAGING_DIR ${CMAKE_BINARY_DIR}/packaging)
set(KEYLOOM_BIN ${CMAKE_INSTALL_FULL_BINDIR}/keyloom)
foreach(unit keyloom-agent.socket keyloom-agent.service)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/${unit}.in ${PACKAGING_DIR}/${unit} @ONLY)
  install(FILES ${PACKAGING_DIR}/${unit} DESTINATION ${KEYLOOM_INSTALL_USERUNITDIR})
endforeach()

# Manual pages and Debian's changelog are shipped compressed, reproducibly.
find_program(GZIP gzip REQUIRED)
set(compressed)
configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/changelog.in ${PACKAGING_DIR}/changelog @ONLY)
foreach(pair "${CMAKE_SOURCE_DIR}/tools/keyloom/keyloom.1=keyloom.1.gz" "${PACKAGING_DIR}/changelog=changelog.Debian.gz")
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 output)
  add_custom_command(OUTPUT ${PACKAGING_DIR}/${output}
    COMMAND ${GZIP} -9nc ${source} > ${PACKAGING_DIR}/${output}
    DEPENDS ${source})
  list(APPEND compressed ${PACKAGING_DIR}/${output})
endforeach()
add_custom_target(keyloom_docs ALL DEPENDS ${compressed})
install(FILES ${PACKAGING_DIR}/keyloom.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${PACKAGING_DIR}/changelog.Debian.gz
              ${CMAKE_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Relocations resolved at load and then made read-only, as Debian builds.
target_link_options(keyloom_cli PRIVATE -Wl,-z,relro,-z,now)
target_link_options(keyloom_module PRIVATE -Wl,-z,relro,-z,now)
