# The Linux port of the platform seam (src/platform/prim.h): its sources and
# the optional packages they use. Included by the root CMakeLists.txt, which
# adds KRMM_PLATFORM_PORT_SOURCES to the platform layer and then calls
# krmm_platform_port_setup(<platform layer target> <library target>).
set(KRMM_PLATFORM_PORT_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/lock_word.cpp
  ${CMAKE_CURRENT_LIST_DIR}/futex.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stack.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/symbolizer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/alert.cpp
  ${CMAKE_CURRENT_LIST_DIR}/memory.cpp)

find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  # The modal alert window.
  pkg_check_modules(KRMM_SDL2 QUIET sdl2)
  # Source files and lines in printed stacks and profiles.
  pkg_check_modules(KRMM_LIBDW QUIET libdw)
  # A cached unwinder makes stack capture cheap enough to leave on.
  if(KRMM_USE_LIBUNWIND)
    pkg_check_modules(KRMM_LIBUNWIND QUIET libunwind)
  endif()
endif()
if(NOT KRMM_LIBUNWIND_FOUND)
  message(STATUS "KRMM: stack capture through glibc's backtrace (no libunwind)")
endif()

# Compile flags for the platform layer, link flags for the library.
function(krmm_platform_port_setup layer library)
  target_link_libraries(${library} PRIVATE Threads::Threads ${CMAKE_DL_LIBS})
  if(KRMM_LIBDW_FOUND)
    target_include_directories(${layer} SYSTEM PRIVATE ${KRMM_LIBDW_INCLUDE_DIRS})
    target_compile_definitions(${layer} PRIVATE KRMM_HAVE_LIBDW)
    target_link_libraries(${library} PRIVATE ${KRMM_LIBDW_LINK_LIBRARIES})
  endif()
  if(KRMM_LIBUNWIND_FOUND)
    target_include_directories(${layer} SYSTEM PRIVATE ${KRMM_LIBUNWIND_INCLUDE_DIRS})
    target_compile_definitions(${layer} PRIVATE KRMM_HAVE_LIBUNWIND)
    target_link_libraries(${library} PRIVATE ${KRMM_LIBUNWIND_LINK_LIBRARIES})
  endif()
  if(KRMM_SDL2_FOUND)
    # Plain paths rather than an imported target, so that the exported package
    # of a static build does not name a target consumers cannot see.
    target_include_directories(${layer} SYSTEM PRIVATE ${KRMM_SDL2_INCLUDE_DIRS})
    target_compile_definitions(${layer} PRIVATE KRMM_HAVE_SDL2)
    target_link_libraries(${library} PRIVATE ${KRMM_SDL2_LINK_LIBRARIES})
  endif()
endfunction()

# What a static archive's users must link as well (krmm.pc's Libs): the
# optional packages, and the system libraries after everything else.
set(KRMM_PLATFORM_PORT_STATIC_LIBS)
foreach(dep SDL2 LIBDW LIBUNWIND)
  if(KRMM_${dep}_FOUND)
    list(APPEND KRMM_PLATFORM_PORT_STATIC_LIBS ${KRMM_${dep}_LDFLAGS})
  endif()
endforeach()
set(KRMM_PLATFORM_PORT_SYSTEM_LIBS -lpthread)
foreach(lib IN LISTS CMAKE_DL_LIBS)
  list(APPEND KRMM_PLATFORM_PORT_SYSTEM_LIBS -l${lib})
endforeach()
