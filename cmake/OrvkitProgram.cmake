# orvkit_add_program(<name> SOURCES <files...> LIBRARIES <libraries...> [ADMIN])
#
# Builds one of the project's programs so that it starts as fast as a C
# program: the objects of the project's own libraries (see
# orvkit_install_library) and the C++ runtime are linked into it, leaving only
# the C library to load and relocate at start-up. A program therefore must not
# load any C++ shared library (a second C++ runtime in the process): link fmt
# as fmt::fmt-header-only and Boost libraries as archives. The linker drops
# every section the program does not use. ADMIN programs (manual section 8)
# are installed to sbin, the others to bin. The global property ORVKIT_PROGRAMS
# lists them all.
#
# Where gold is at hand, it links the programs and places the code sections
# listed in program-startup.order (written by scripts/update-startup-order)
# side by side: starting then maps a few pages of code instead of pages all
# over the C++ runtime and Boost. --rosegment keeps read-only data out of the
# executable segment, as the default linker does.
include(CheckLinkerFlag)
check_linker_flag(CXX "-fuse-ld=gold;LINKER:--rosegment" ORVKIT_LINKER_GOLD)
set(ORVKIT_STARTUP_ORDER "${CMAKE_CURRENT_LIST_DIR}/program-startup.order")

function(orvkit_add_program name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "ADMIN" "" "SOURCES;LIBRARIES")
  add_executable(${name} ${arg_SOURCES})
  set(libraries)
  foreach(library IN LISTS arg_LIBRARIES)
    if(TARGET ${library})
      get_target_property(aliased ${library} ALIASED_TARGET)
      if(aliased)
        set(library ${aliased})
      endif()
      get_target_property(archive ${library} ORVKIT_ARCHIVE)
      if(archive)
        set(library ${archive})
      endif()
    endif()
    list(APPEND libraries ${library})
  endforeach()
  target_link_libraries(${name} PRIVATE ${libraries})
  target_link_options(${name} PRIVATE LINKER:--gc-sections)
  # The sanitizer runtimes are shared libraries that bring the shared C++
  # runtime with them.
  if(NOT ORVKIT_SANITIZE)
    target_link_options(${name} PRIVATE -static-libstdc++ -static-libgcc)
    if(ORVKIT_LINKER_GOLD)
      target_link_options(${name} PRIVATE -fuse-ld=gold LINKER:--rosegment
                          LINKER:--section-ordering-file,${ORVKIT_STARTUP_ORDER})
      set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${ORVKIT_STARTUP_ORDER})
    endif()
  endif()
  if(arg_ADMIN)
    set(destination ${CMAKE_INSTALL_SBINDIR})
  else()
    set(destination ${CMAKE_INSTALL_BINDIR})
  endif()
  install(TARGETS ${name} RUNTIME DESTINATION ${destination} COMPONENT tools)
  set_property(GLOBAL APPEND PROPERTY ORVKIT_PROGRAMS ${name})
endfunction()
