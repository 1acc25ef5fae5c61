# Build conventions shared by every folder.
#
# Two builds come from the same tree: the Windows program (cross-compiled,
# WIN32 true, run under Wine) and a native Linux build of the code that needs
# no Windows API, compiled with AddressSanitizer and UBSan.

if(WIN32)
  set(OSTREL_CACHE $ENV{OSTREL_CACHE})
  if(NOT OSTREL_CACHE)
    set(OSTREL_CACHE /var/cache/ostrel)
  endif()
  set(OSTREL_BOOST_LIB ${OSTREL_CACHE}/boost-mingw-1.81.0/lib/libboost_ostrel.a)
  if(NOT EXISTS ${OSTREL_BOOST_LIB})
    message(FATAL_ERROR "Boost for mingw is missing: run scripts/setup.sh")
  endif()
  # Only Boost may come from the host's include directory; /usr/include
  # itself would pull glibc headers into the cross build.
  set(OSTREL_BOOST_INCLUDE ${CMAKE_BINARY_DIR}/boost-include)
  file(MAKE_DIRECTORY ${OSTREL_BOOST_INCLUDE})
  file(CREATE_LINK /usr/include/boost ${OSTREL_BOOST_INCLUDE}/boost SYMBOLIC)

  add_library(ostrel_boost INTERFACE)
  target_include_directories(ostrel_boost SYSTEM INTERFACE ${OSTREL_BOOST_INCLUDE})
  target_compile_definitions(ostrel_boost INTERFACE
    BOOST_ALL_NO_LIB BOOST_THREAD_USE_LIB BOOST_FILESYSTEM_STATIC_LINK
    BOOST_FILESYSTEM_NO_CXX20_ATOMIC_REF BOOST_CHRONO_HEADER_ONLY
    BOOST_USE_WINDOWS_H WIN32_LEAN_AND_MEAN= NOMINMAX _WIN32_WINNT=0x0601
    BOOST_BIND_GLOBAL_PLACEHOLDERS)
  target_link_libraries(ostrel_boost INTERFACE ${OSTREL_BOOST_LIB} bcrypt)
  # -municode (wmain) goes on the service program alone; tests use gtest's main.
  add_link_options(-static)
else()
  find_package(Boost 1.81 EXACT REQUIRED COMPONENTS thread chrono filesystem iostreams date_time locale)
  add_library(ostrel_boost INTERFACE)
  target_link_libraries(ostrel_boost INTERFACE Boost::headers Boost::thread Boost::chrono
    Boost::filesystem Boost::iostreams Boost::date_time Boost::locale)
  target_compile_definitions(ostrel_boost INTERFACE BOOST_BIND_GLOBAL_PLACEHOLDERS)
  option(OSTREL_SANITIZE "Build with AddressSanitizer and UBSan" ON)
  if(OSTREL_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
  endif()
  # The libFuzzer targets (tests/fuzz), built and run by scripts/fuzz.sh in a
  # tree of their own. Every library is instrumented so that the fuzzer sees
  # the coverage of the code it drives.
  option(OSTREL_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
  if(OSTREL_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      message(FATAL_ERROR "OSTREL_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
  endif()
endif()
add_compile_options(-Wall -Wextra)
# Source files are named from the project's root ("Ostrel/engine/Service.cpp"),
# whatever folder the tree was built in: log lines name the same file on every
# computer, and two builds of one commit give the same program. The maps go
# from the widest folder to the narrowest, the last matching one applies:
# the source tree, the build tree inside it, Boost's headers in the build
# tree (as "boost/...").
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
if(WIN32)
  add_compile_options(-ffile-prefix-map=${OSTREL_BOOST_INCLUDE}/=)
  # No link time in the image's header either.
  add_link_options(-Wl,--no-insert-timestamp)
endif()

# GoogleTest from Debian's source package, built with the same compiler.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# ostrel_library(name PORTABLE|WINDOWS SOURCES ... [DEPS ...])
# A PORTABLE library includes no Windows header and is built in both builds;
# a WINDOWS one only in the Windows build.
function(ostrel_library name kind)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(kind STREQUAL "WINDOWS" AND NOT WIN32)
    return()
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/common)
  target_link_libraries(${name} PUBLIC ostrel_boost ${ARG_DEPS})
endfunction()

# Every CTest test ends within a time-out, so that a wait that never ends
# fails the run instead of hanging it. This default, in seconds, is several
# times the longest ordinary test on a loaded 2-core machine (engine_test,
# about 40 s); a test that takes minutes names a larger one of its own, and
# a test added with add_test sets this one or its own.
set(OSTREL_TEST_TIMEOUT 300)
# The GoogleTest programs' main prints this line when tests were skipped and
# none failed (tests/support/test_main.cpp).
set(OSTREL_TEST_SKIPPED "OSTREL-TESTS-SKIPPED: [0-9]+")

# ostrel_test(name PORTABLE|WINDOWS SOURCES ... [DEPS ...] [LOCKS ...] [TIMEOUT seconds]
#             [ENVIRONMENT var=value ...] [ALONE Suite.Test ...])
# One GoogleTest program, run by CTest (under Wine in the Windows build).
# LOCKS names shared resources (the registry key, logger.ini) so that tests
# touching the same one never run at the same time. A program whose tests
# were partly skipped is reported as skipped. ALONE names tests that skip
# wherever a platform lacks what they need (Wine): each runs as a CTest test
# of its own, "<name>.<Suite.Test>", so that its skip is reported alone and
# the rest of the program still reports passed.
function(ostrel_test name kind)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LOCKS;ENVIRONMENT;ALONE" ${ARGN})
  if(kind STREQUAL "WINDOWS" AND NOT WIN32)
    return()
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT ${OSTREL_TEST_TIMEOUT})
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/common ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} gmock ostrel_test_main ostrel_boost)
  set(tests ${name})
  if(ARG_ALONE)
    list(JOIN ARG_ALONE ":" alone)
    add_test(NAME ${name} COMMAND ${name} --gtest_filter=-${alone})
    foreach(test ${ARG_ALONE})
      add_test(NAME ${name}.${test} COMMAND ${name} --gtest_filter=${test})
      list(APPEND tests ${name}.${test})
    endforeach()
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  set_tests_properties(${tests} PROPERTIES TIMEOUT ${ARG_TIMEOUT} SKIP_REGULAR_EXPRESSION "${OSTREL_TEST_SKIPPED}")
  if(ARG_LOCKS)
    set_tests_properties(${tests} PROPERTIES RESOURCE_LOCK "${ARG_LOCKS}")
  endif()
  if(ARG_ENVIRONMENT)
    set_tests_properties(${tests} PROPERTIES ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
endfunction()
