# The service program and its resources (Windows only).
if(WIN32)
  # The resources are compiled here with windmc and windres rather than as
  # CMake RC sources, so that test programs elsewhere in the tree can link
  # the same object: the logging tests read the event source name from
  # their own version resource. Link `ostrel_program_resources`.
  set(OSTREL_RESOURCE_DIR ${CMAKE_CURRENT_BINARY_DIR}/resources)
  # windmc ends each message with the line end of its source line; the
  # event viewer's text must end in CR LF, so the table is compiled from a
  # CR LF copy.
  configure_file(OstrelMessages.mc ${OSTREL_RESOURCE_DIR}/OstrelMessages.mc @ONLY NEWLINE_STYLE DOS)
  add_custom_command(
    OUTPUT ${OSTREL_RESOURCE_DIR}/OstrelMessages.rc ${OSTREL_RESOURCE_DIR}/MSG00409.bin
    COMMAND x86_64-w64-mingw32-windmc -U -h ${OSTREL_RESOURCE_DIR} -r ${OSTREL_RESOURCE_DIR}
            ${OSTREL_RESOURCE_DIR}/OstrelMessages.mc
    DEPENDS ${OSTREL_RESOURCE_DIR}/OstrelMessages.mc
    COMMENT "Compiling the event-log message table")
  add_custom_target(ostrel_program_messages
    DEPENDS ${OSTREL_RESOURCE_DIR}/OstrelMessages.rc ${OSTREL_RESOURCE_DIR}/MSG00409.bin)
  set(OSTREL_PROGRAM_SOURCE_DIR ${CMAKE_CURRENT_SOURCE_DIR} CACHE INTERNAL "")
  set(OSTREL_PROGRAM_MESSAGE_DIR ${OSTREL_RESOURCE_DIR} CACHE INTERNAL "")

  # ostrel_program_resources(<name> <version>)
  # An interface library <name> that links the program's resources with the
  # version information of <version> (four numbers, "1.2.3.4"). The program
  # takes the project's version; an installer test builds it once more with
  # a newer one to upgrade to.
  function(ostrel_program_resources name version)
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/${name})
    set(object ${dir}/OstrelService.res.o)
    string(REPLACE "." "," OSTREL_VERSION_NUMBERS ${version})
    set(OSTREL_VERSION_TEXT ${version})
    configure_file(${OSTREL_PROGRAM_SOURCE_DIR}/OstrelVersion.h.in ${dir}/OstrelVersion.h @ONLY)
    add_custom_command(
      OUTPUT ${object}
      COMMAND ${CMAKE_RC_COMPILER} -O coff -I ${OSTREL_PROGRAM_SOURCE_DIR} -I ${OSTREL_PROGRAM_MESSAGE_DIR} -I ${dir}
              -i ${OSTREL_PROGRAM_SOURCE_DIR}/OstrelService.rc -o ${object}
      DEPENDS ${OSTREL_PROGRAM_SOURCE_DIR}/OstrelService.rc ${OSTREL_PROGRAM_SOURCE_DIR}/OstrelService.manifest
              ${dir}/OstrelVersion.h ${OSTREL_PROGRAM_MESSAGE_DIR}/OstrelMessages.rc
              ${OSTREL_PROGRAM_MESSAGE_DIR}/MSG00409.bin
      COMMENT "Compiling the program's resources, version ${version}")
    add_custom_target(${name}_object DEPENDS ${object})
    add_dependencies(${name}_object ostrel_program_messages)
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${object})
    add_dependencies(${name} ${name}_object)
  endfunction()

  # The process entry, compiled once for every build of the program.
  add_library(ostrel_program_main OBJECT main.cpp)
  target_include_directories(ostrel_program_main PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/common)
  target_link_libraries(ostrel_program_main PUBLIC ostrel_engine ostrel_check)

  # ostrel_program(<target> <resources> <version>)
  # OstrelService.exe as <target>, with its resources as <resources> (above).
  function(ostrel_program target resources version)
    ostrel_program_resources(${resources} ${version})
    add_executable(${target})
    target_link_libraries(${target} PRIVATE ostrel_program_main ${resources})
    target_link_options(${target} PRIVATE -municode)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME OstrelService)
  endfunction()

  ostrel_program(OstrelService ostrel_program_resources ${PROJECT_VERSION})
endif()
