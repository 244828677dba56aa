# Install rules and packages (CPack). Included at the end of the top-level
# CMakeLists, once every program is defined.
#
# Linux:   bin/packprobe, bin/packprobe-scan, share/man/man1/*.1.gz,
#          share/doc/packprobe/{README.md,LICENSE,docs/*.md},
#          share/bash-completion/completions/packprobe-scan;
#          `cpack` makes a .deb for Debian 12.
# Windows: PACKPROBE.EXE, packprobe-scan.exe, README.md, LICENSE.txt and the
#          man pages as text, all in one folder, docs/*.md below it; `cpack`
#          makes a .zip.
#
# The scanner's parts are installed only when its program is part of the
# build.

include(GNUInstallDirs)

# The executable target whose file is named `name` (any case), in any
# directory of the build; empty when there is none.
function(packprobe_find_program_target name out)
  set(found "")
  set(dirs "${PROJECT_SOURCE_DIR}")
  while(dirs)
    list(POP_FRONT dirs dir)
    get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
    list(APPEND dirs ${subdirs})
    get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
      get_target_property(type ${target} TYPE)
      if(NOT type STREQUAL "EXECUTABLE")
        continue()
      endif()
      get_target_property(output_name ${target} OUTPUT_NAME)
      if(NOT output_name)
        set(output_name ${target})
      endif()
      string(TOLOWER "${output_name}" output_name)
      if(output_name STREQUAL name)
        set(found ${target})
      endif()
    endforeach()
  endwhile()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

packprobe_find_program_target(packprobe-scan packprobe_scan_target)
set(packprobe_programs packprobe)
set(packprobe_man_pages packprobe)
if(packprobe_scan_target)
  list(APPEND packprobe_programs ${packprobe_scan_target})
  list(APPEND packprobe_man_pages packprobe-scan)
  # The scanner's CMakeLists may have given it its version resource already.
  get_target_property(description ${packprobe_scan_target} PACKPROBE_VERSION_DESCRIPTION)
  if(NOT description)
    set(description "PackProbe release scanner")
    packprobe_add_version_resource(${packprobe_scan_target} "${description}")
  endif()
  if(TARGET e2e_test AND WIN32)
    # The test of the programs' version resources covers the scanner too.
    target_compile_definitions(e2e_test PRIVATE
      "PACKPROBE_RC_SCAN_EXE=\"$<TARGET_FILE:${packprobe_scan_target}>\""
      "PACKPROBE_RC_SCAN_DESCRIPTION=u\"${description}\"")
    add_dependencies(e2e_test ${packprobe_scan_target})
  endif()
endif()

if(WIN32)
  set(packprobe_bin_dir .)
  set(packprobe_doc_dir .)
else()
  set(packprobe_bin_dir "${CMAKE_INSTALL_BINDIR}")
  set(packprobe_doc_dir "${CMAKE_INSTALL_DOCDIR}")
endif()

install(TARGETS ${packprobe_programs} RUNTIME DESTINATION "${packprobe_bin_dir}")
# A stripped install (cpack, `cmake --install --strip`) drops the .comment
# section too, the compilers' version strings, as Debian strips its packages.
if(NOT WIN32 AND CMAKE_OBJCOPY)
  foreach(program IN LISTS packprobe_programs)
    install(CODE "
      if(CMAKE_INSTALL_DO_STRIP)
        set(file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${packprobe_bin_dir}/$<TARGET_FILE_NAME:${program}>\")
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment \"\${file}\"
                        RESULT_VARIABLE result)
        if(NOT result EQUAL 0)
          message(FATAL_ERROR \"objcopy could not remove .comment from \${file}: \${result}\")
        endif()
      endif()")
  endforeach()
endif()
# The documents the README links to (docs/scan-schema.md, the CI examples,
# ...), in docs/ beside it, so that its links resolve where it is installed.
file(GLOB packprobe_docs "${PROJECT_SOURCE_DIR}/docs/*.md")
install(FILES ${packprobe_docs} DESTINATION "${packprobe_doc_dir}/docs")
if(WIN32)
  install(FILES README.md DESTINATION "${packprobe_doc_dir}")
  install(FILES LICENSE DESTINATION "${packprobe_doc_dir}" RENAME LICENSE.txt)
else()
  install(FILES README.md LICENSE DESTINATION "${packprobe_doc_dir}")
  if(packprobe_scan_target)
    install(FILES packaging/packprobe-scan.bash-completion
            DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions"
            RENAME packprobe-scan)
  endif()
endif()

# --- Man pages: scdoc sources in docs/man/, roff built at build time --------
find_program(PACKPROBE_SCDOC scdoc)
find_program(PACKPROBE_GZIP gzip)
find_program(PACKPROBE_GROFF groff)
set(render "${PROJECT_SOURCE_DIR}/cmake/RenderMan.cmake")
set(man_dir "${PROJECT_BINARY_DIR}/man")
set(man_outputs "")
if(NOT PACKPROBE_SCDOC)
  message(STATUS "scdoc not found: the man pages are neither built nor installed")
elseif(WIN32 AND NOT PACKPROBE_GROFF)
  message(STATUS "groff not found: the man pages are not rendered as text")
else()
  foreach(page IN LISTS packprobe_man_pages)
    set(source "${PROJECT_SOURCE_DIR}/docs/man/${page}.1.scd")
    set(roff "${man_dir}/${page}.1")
    add_custom_command(OUTPUT "${roff}"
      COMMAND "${CMAKE_COMMAND}" -DMODE=roff "-DTOOL=${PACKPROBE_SCDOC}" "-DIN=${source}"
              "-DOUT=${roff}" -P "${render}"
      DEPENDS "${source}" "${render}"
      COMMENT "Building the man page ${page}(1)" VERBATIM)
    list(APPEND man_outputs "${roff}")
    if(WIN32)
      set(text "${man_dir}/${page}.txt")
      add_custom_command(OUTPUT "${text}"
        COMMAND "${CMAKE_COMMAND}" -DMODE=text "-DTOOL=${PACKPROBE_GROFF}" "-DIN=${roff}"
                "-DOUT=${text}" -P "${render}"
        DEPENDS "${roff}" "${render}" VERBATIM)
      list(APPEND man_outputs "${text}")
      install(FILES "${text}" DESTINATION "${packprobe_doc_dir}")
    else()
      # Debian keeps man pages compressed.
      set(gz "${roff}.gz")
      add_custom_command(OUTPUT "${gz}"
        COMMAND "${CMAKE_COMMAND}" -DMODE=gzip "-DTOOL=${PACKPROBE_GZIP}" "-DIN=${roff}"
                "-DOUT=${gz}" -P "${render}"
        DEPENDS "${roff}" "${render}" VERBATIM)
      list(APPEND man_outputs "${gz}")
      install(FILES "${gz}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
    endif()
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${man_outputs})
endif()

# --- Packages ------------------------------------------------------------------
set(CPACK_PACKAGE_NAME packprobe)
set(CPACK_PACKAGE_VENDOR "PackProbe developers")
set(CPACK_PACKAGE_CONTACT "PackProbe developers <packprobe@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "verifier of the versions of self-extracting components")
set(CPACK_PACKAGE_DESCRIPTION
  "PackProbe checks components: Windows programs (VEKStub) with a ZIP
archive appended that holds package metadata and usually a setup program
(VEKSetup). packprobe checks one component against version ranges and
reports its name, versions and type.

packprobe-scan gates whole releases in CI: it checks release folders in
parallel and says why each failed component failed, as text, JSON Lines,
CSV or JUnit reports, or as GitHub Actions annotations with a Markdown step
summary. A release checked in shards on several machines is judged whole by
merging the shards' reports (merge). A release manifest records what a
known-good release holds (snapshot), later builds are checked against it
(--manifest), and diff lists what changed between two releases.")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # dpkg-shlibdeps: the package depends on exactly the libraries it links.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The files Debian wants in every package's documentation folder, and
  # lintian's overrides.
  set(deb_extra "${PROJECT_BINARY_DIR}/deb-extra")
  set(deb_doc "${deb_extra}/share/doc/packprobe")
  file(MAKE_DIRECTORY "${deb_doc}")
  configure_file(packaging/debian/copyright "${deb_doc}/copyright" COPYONLY)
  configure_file(packaging/debian/lintian-overrides "${deb_extra}/share/lintian/overrides/packprobe"
                 COPYONLY)
  configure_file(packaging/debian/changelog.in "${deb_extra}/changelog.Debian" @ONLY)
  add_custom_command(OUTPUT "${deb_doc}/changelog.Debian.gz"
    COMMAND "${CMAKE_COMMAND}" -DMODE=gzip "-DTOOL=${PACKPROBE_GZIP}"
            "-DIN=${deb_extra}/changelog.Debian" "-DOUT=${deb_doc}/changelog.Debian.gz"
            -P "${render}"
    DEPENDS "${deb_extra}/changelog.Debian" "${render}" VERBATIM)
  add_custom_target(debian_changelog ALL DEPENDS "${deb_doc}/changelog.Debian.gz")
  set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake")
  file(WRITE "${CPACK_PROJECT_CONFIG_FILE}"
    "if(CPACK_GENERATOR STREQUAL \"DEB\")\n"
    "  set(CPACK_INSTALLED_DIRECTORIES \"${deb_extra}/share;usr/share\")\n"
    "endif()\n")
endif()
include(CPack)
