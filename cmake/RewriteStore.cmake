# A store library of database mode, built and installed as librewrite is:
#
#   rewrite_store(<name> HEADER <header> SOURCES <source>...
#                 LINK <imported target> PC_MODULE <pkg-config module>)
#
# called in stores/<name>/. It makes the static archive librewrite-<name>
# (target librewrite-<name>, exported as librewrite::librewrite-<name>-static)
# and, with REWRITE_SHARED, librewrite-<name>.so.0 (target
# librewrite-<name>-shared, exported as librewrite::librewrite-<name>), which
# exports what the header marks with its export macro. Both need no C++
# runtime (-fno-exceptions -fno-rtti, linked as C). <librewrite/<header>>
# is found in the build tree and installed beside librewrite's header; the
# libraries go into the export set librewrite-<name>-targets (installed as
# lib/cmake/librewrite/librewrite-<name>-targets.cmake), and
# librewrite-<name>.pc is made from stores/<name>/librewrite-<name>.pc.in,
# requiring the system library (PC_MODULE) for the static archive alone when
# the shared library is built.
include(GNUInstallDirs)

function(rewrite_store name)
  cmake_parse_arguments(PARSE_ARGV 1 store "" "HEADER;LINK;PC_MODULE" "SOURCES")
  set(lib librewrite-${name})

  add_library(${lib} STATIC ${store_SOURCES})
  set_target_properties(${lib} PROPERTIES
    OUTPUT_NAME rewrite-${name}
    EXPORT_NAME ${lib}-static)
  target_link_libraries(${lib} PUBLIC librewrite ${store_LINK})
  set(targets ${lib})

  if(REWRITE_SHARED)
    add_library(${lib}-shared SHARED ${store_SOURCES})
    set_target_properties(${lib}-shared PROPERTIES
      OUTPUT_NAME rewrite-${name}
      EXPORT_NAME ${lib}
      VERSION ${PROJECT_VERSION}
      SOVERSION ${REWRITE_SOVERSION}
      LINKER_LANGUAGE C)
    target_link_libraries(${lib}-shared PUBLIC librewrite-shared PRIVATE ${store_LINK})
    rewrite_shared_link_options(${lib}-shared)
    list(APPEND targets ${lib}-shared)
  endif()

  # <librewrite/HEADER> in the build tree, as librewrite's header.
  set(include_dir ${CMAKE_CURRENT_BINARY_DIR}/include)
  configure_file(${store_HEADER} ${include_dir}/librewrite/${store_HEADER} COPYONLY)
  foreach(target ${targets})
    target_include_directories(${target} PUBLIC
      $<BUILD_INTERFACE:${include_dir}>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
    # What the stores share inside (stores/store_support.h).
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/stores)
    target_compile_options(${target} PRIVATE
      -Wconversion -Wsign-conversion -fno-exceptions -fno-rtti)
    set_target_properties(${target} PROPERTIES
      POSITION_INDEPENDENT_CODE ON
      CXX_VISIBILITY_PRESET hidden
      VISIBILITY_INLINES_HIDDEN ON)
  endforeach()

  # librewrite::librewrite-NAME: the shared library when it is built, else
  # the static archive; librewrite::librewrite-NAME-static: the archive.
  if(REWRITE_SHARED)
    add_library(librewrite::${lib} ALIAS ${lib}-shared)
  else()
    add_library(librewrite::${lib} ALIAS ${lib})
  endif()
  add_library(librewrite::${lib}-static ALIAS ${lib})

  install(TARGETS ${targets} EXPORT ${lib}-targets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${store_HEADER} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/librewrite)
  install(EXPORT ${lib}-targets
    NAMESPACE librewrite::
    FILE ${lib}-targets.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/librewrite)

  # The pkg-config file in two steps, as librewrite.pc: the build fills in
  # the version and directories, the installation its prefix.
  foreach(dir LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
      set(PC_${dir} "${CMAKE_INSTALL_${dir}}")
    else()
      set(PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
    endif()
  endforeach()
  set(PC_PREFIX "@CMAKE_INSTALL_PREFIX@") # left for the installation to fill in
  if(REWRITE_SHARED)
    set(PC_REQUIRES "librewrite = ${PROJECT_VERSION}")
    set(PC_REQUIRES_PRIVATE "${store_PC_MODULE}")
  else()
    set(PC_REQUIRES "librewrite = ${PROJECT_VERSION}, ${store_PC_MODULE}")
    set(PC_REQUIRES_PRIVATE "")
  endif()
  set(pc ${CMAKE_CURRENT_BINARY_DIR}/${lib}.pc)
  configure_file(${lib}.pc.in ${pc}.in @ONLY)
  install(CODE "configure_file(\"${pc}.in\" \"${pc}\" @ONLY)")
  install(FILES ${pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
