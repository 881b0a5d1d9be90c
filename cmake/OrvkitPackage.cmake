# orvkit_install_library(<target>
#     HEADERS <public headers...>
#     DESCRIPTION <one line for pkg-config>
#     [PC_LIBS <linker flags a user must add>]
#     [PC_CFLAGS <extra compile flags>]
#     [PC_VARIABLES <name=value lines for pkg-config --variable>]
#     [DEPENDENCIES <find_dependency() calls for the CMake package>])
#
# Installs a shared library with its soname and development link, its public
# headers under include/<target>/, a pkg-config file <target>.pc and a CMake
# package <target> exporting <target>::<target>. Both descriptions locate the
# prefix relative to themselves, so an installed tree can be moved.
# Also archives the same objects as <target>_archive, which the project's own
# programs link instead of the shared library (see OrvkitProgram.cmake).
include(CMakePackageConfigHelpers)

function(orvkit_install_library target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESCRIPTION;PC_LIBS;PC_CFLAGS;PC_VARIABLES;DEPENDENCIES"
                        "HEADERS")
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}
    EXPORT_NAME ${target})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/lib>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

  add_library(${target}_archive STATIC $<TARGET_OBJECTS:${target}>)
  get_target_property(link_libraries ${target} LINK_LIBRARIES)
  if(link_libraries)
    target_link_libraries(${target}_archive PUBLIC ${link_libraries})
  endif()
  # The same headers as the library's users see, generated ones included.
  target_include_directories(${target}_archive
                             PUBLIC $<TARGET_PROPERTY:${target},INTERFACE_INCLUDE_DIRECTORIES>)
  set_target_properties(${target} PROPERTIES ORVKIT_ARCHIVE ${target}_archive)

  install(TARGETS ${target} EXPORT ${target}Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${target}_runtime
            NAMELINK_COMPONENT ${target}_dev)
  install(FILES ${arg_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${target}
          COMPONENT ${target}_dev)

  set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${target})
  install(EXPORT ${target}Targets NAMESPACE ${target}:: DESTINATION ${cmake_dir}
          COMPONENT ${target}_dev)
  set(ORVKIT_PACKAGE_TARGET ${target})
  set(ORVKIT_PACKAGE_DEPENDENCIES "${arg_DEPENDENCIES}")
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/PackageConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/${target}Config.cmake INSTALL_DESTINATION ${cmake_dir})
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/${target}ConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${target}Config.cmake
                ${CMAKE_CURRENT_BINARY_DIR}/${target}ConfigVersion.cmake
          DESTINATION ${cmake_dir} COMPONENT ${target}_dev)

  # pkg-config resolves ${pcfiledir} to wherever the .pc file is found.
  file(RELATIVE_PATH pc_to_prefix /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
  set(PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
  set(PC_NAME ${target})
  set(PC_DESCRIPTION "${arg_DESCRIPTION}")
  set(PC_LIBS "${arg_PC_LIBS}")
  set(PC_CFLAGS "${arg_PC_CFLAGS}")
  set(PC_VARIABLES "${arg_PC_VARIABLES}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/library.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}.pc
                 @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${target}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ${target}_dev)
endfunction()
