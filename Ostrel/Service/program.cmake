# The service program and its resources (Windows only).
if(WIN32)
  # The resources are compiled here with windmc and windres rather than as
  # CMake RC sources, so that test programs elsewhere in the tree can link
  # the same object: the logging tests read the event source name from
  # their own version resource. Link `ostrel_program_resources`.
  set(OSTREL_RESOURCE_DIR ${CMAKE_CURRENT_BINARY_DIR}/resources)
  set(OSTREL_RESOURCE_OBJECT ${OSTREL_RESOURCE_DIR}/OstrelService.res.o)
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
  add_custom_command(
    OUTPUT ${OSTREL_RESOURCE_OBJECT}
    COMMAND ${CMAKE_RC_COMPILER} -O coff
            -I ${CMAKE_CURRENT_SOURCE_DIR} -I ${OSTREL_RESOURCE_DIR}
            -i ${CMAKE_CURRENT_SOURCE_DIR}/OstrelService.rc -o ${OSTREL_RESOURCE_OBJECT}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/OstrelService.rc ${CMAKE_CURRENT_SOURCE_DIR}/OstrelService.manifest
            ${OSTREL_RESOURCE_DIR}/OstrelMessages.rc ${OSTREL_RESOURCE_DIR}/MSG00409.bin
    COMMENT "Compiling the program's resources")
  add_custom_target(ostrel_program_resources_object DEPENDS ${OSTREL_RESOURCE_OBJECT})
  add_library(ostrel_program_resources INTERFACE)
  target_link_libraries(ostrel_program_resources INTERFACE ${OSTREL_RESOURCE_OBJECT})
  add_dependencies(ostrel_program_resources ostrel_program_resources_object)

  add_executable(OstrelService main.cpp)
  target_include_directories(OstrelService PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/common)
  target_link_libraries(OstrelService PRIVATE ostrel_engine ostrel_check ostrel_program_resources)
  target_link_options(OstrelService PRIVATE -municode)
endif()
