# Build rules shared by every subsystem directory.
#
# A subsystem directory holds its sources, their tests (*_test.cpp) and its
# fuzz targets (*_fuzz.cpp) side by side. Platform-specific sources end in
# _posix.cpp or _windows.cpp and only the one for the target is compiled;
# so are tests of one platform's code (_posix_test.cpp, _windows_test.cpp).

if(MSVC)
  add_compile_options(/W4)
else()
  add_compile_options(-Wall -Wextra)
endif()

# The programs parse untrusted files, so ELF builds are hardened as Debian
# hardens its own packages: the relocations are resolved at start-up and then
# made read-only (RELRO with BIND_NOW), and, where the compiler optimises,
# buffer functions whose sizes it knows are checked (_FORTIFY_SOURCE, which
# does nothing without optimisation). The sanitizer and fuzz builds go without
# the checked functions, which would take the place of the sanitizers'
# interceptors. Executables stay position-independent, the compiler's default
# on Debian. scripts/test-packages.sh checks the .deb's programs for all of it.
if(NOT WIN32 AND NOT MSVC AND NOT APPLE)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
  if(NOT PACKPROBE_SANITIZE AND NOT PACKPROBE_FUZZ)
    add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
  endif()
endif()

if(PACKPROBE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # GCC 12 takes instrumented code for using values it has not set (in the
  # standard library's <regex>, for one); the release build, optimised
  # without the sanitizers, still reports such uses.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()

if(PACKPROBE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "PACKPROBE_FUZZ needs clang")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
  set(PACKPROBE_PLATFORM_SUFFIX _windows)
  set(PACKPROBE_OTHER_PLATFORM_SUFFIX _posix)
else()
  set(PACKPROBE_PLATFORM_SUFFIX _posix)
  set(PACKPROBE_OTHER_PLATFORM_SUFFIX _windows)
endif()

# packprobe_add_module(<name> [DEPENDS <targets...>] [TEST_DEPENDS <targets...>]
#                      [EXCLUDE <files...>])
#
# Creates the static library packprobe_<name> from the directory's sources,
# the test program <name>_test from its *_test.cpp files (registered with
# CTest), and one libFuzzer program per *_fuzz.cpp when fuzzing is enabled.
# EXCLUDE names sources that the directory builds into a target of its own.
function(packprobe_add_module name)
  cmake_parse_arguments(ARG "" "" "DEPENDS;TEST_DEPENDS;EXCLUDE" ${ARGN})
  file(GLOB all CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  foreach(excluded IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM all "${CMAKE_CURRENT_SOURCE_DIR}/${excluded}")
  endforeach()
  set(lib_sources "")
  set(test_sources "")
  set(fuzz_sources "")
  foreach(src IN LISTS all)
    get_filename_component(stem "${src}" NAME_WE)
    if(stem MATCHES "${PACKPROBE_OTHER_PLATFORM_SUFFIX}_test$")
      # A test of the other platform's implementation.
    elseif(stem MATCHES "_test$")
      list(APPEND test_sources "${src}")
    elseif(stem MATCHES "_fuzz$")
      list(APPEND fuzz_sources "${src}")
    elseif(stem MATCHES "^main_")
      # Program entry points are added by the directory itself.
    elseif(stem MATCHES "_(posix|windows)$")
      if(stem MATCHES "${PACKPROBE_PLATFORM_SUFFIX}$")
        list(APPEND lib_sources "${src}")
      endif()
    else()
      list(APPEND lib_sources "${src}")
    endif()
  endforeach()

  add_library(packprobe_${name} STATIC ${lib_sources})
  target_include_directories(packprobe_${name} PUBLIC "${PROJECT_SOURCE_DIR}")
  target_link_libraries(packprobe_${name} PUBLIC ${ARG_DEPENDS})

  # The test support library exists only when the tests are built, and
  # only the tests link it.
  if(PACKPROBE_TESTS AND test_sources)
    add_executable(${name}_test ${test_sources})
    target_link_libraries(${name}_test PRIVATE packprobe_${name} ${ARG_TEST_DEPENDS}
                          GTest::gtest GTest::gtest_main)
    # Labelled with the module's name: `ctest -L zip` runs one module's tests.
    gtest_discover_tests(${name}_test
                         WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
                         DISCOVERY_MODE PRE_TEST
                         PROPERTIES ENVIRONMENT "PACKPROBE_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
                                    LABELS ${name})
  endif()

  if(PACKPROBE_FUZZ)
    foreach(src IN LISTS fuzz_sources)
      get_filename_component(stem "${src}" NAME_WE)
      add_executable(${stem} "${src}")
      target_link_libraries(${stem} PRIVATE packprobe_${name})
      target_link_options(${stem} PRIVATE -fsanitize=fuzzer)
    endforeach()
  endif()
endfunction()

# The project version as the four numbers of a Windows version resource
# (1.0.0 gives 1.0.0.0).
set(PACKPROBE_VERSION_NUMBERS ${packprobe_VERSION_MAJOR} ${packprobe_VERSION_MINOR}
    ${packprobe_VERSION_PATCH} ${packprobe_VERSION_TWEAK})
if(packprobe_VERSION_TWEAK STREQUAL "")
  list(APPEND PACKPROBE_VERSION_NUMBERS 0)
endif()
list(JOIN PACKPROBE_VERSION_NUMBERS "." PACKPROBE_VERSION4)

# Windows programs carry a version resource, compiled by windres.
if(WIN32)
  enable_language(RC)
endif()

# packprobe_add_version_resource(<target> <description>)
#
# Gives the Windows program <target> a version resource filled in from the
# project version: FileVersion and the fixed file version as four numbers
# (1.0.0.0), ProductVersion as the project version (1.0.0), ProductName
# "PackProbe", FileDescription <description>, and Comments that end in the
# four-number version. Does nothing on other platforms, so a program's
# CMakeLists can call it unconditionally.
function(packprobe_add_version_resource target description)
  set_property(TARGET ${target} PROPERTY PACKPROBE_VERSION_DESCRIPTION "${description}")
  if(NOT WIN32)
    return()
  endif()
  list(JOIN PACKPROBE_VERSION_NUMBERS "," PACKPROBE_RC_VERSION_COMMAS)
  set(PACKPROBE_RC_VERSION_DOTS "${PACKPROBE_VERSION4}")
  set(PACKPROBE_RC_PRODUCT_VERSION "${packprobe_VERSION}")
  set(PACKPROBE_RC_DESCRIPTION "${description}")
  set(PACKPROBE_RC_COMMENTS "Part of PackProbe, MIT License. Version ${PACKPROBE_RC_VERSION_DOTS}")
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  get_target_property(suffix ${target} SUFFIX)
  if(NOT suffix)
    set(suffix "${CMAKE_EXECUTABLE_SUFFIX}")
  endif()
  set(PACKPROBE_RC_INTERNAL_NAME "${output_name}")
  set(PACKPROBE_RC_FILE_NAME "${output_name}${suffix}")
  set(rc "${PROJECT_BINARY_DIR}/version-resources/${target}.rc")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/version.rc.in" "${rc}" @ONLY)
  # An object library of its own keeps the program's compile options (such
  # as -municode or -Wall), which windres does not take, away from it.
  add_library(${target}_version_resource OBJECT "${rc}")
  set_property(TARGET ${target}_version_resource PROPERTY COMPILE_OPTIONS "")
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:${target}_version_resource>)
endfunction()
