# The backup of line modes and the logger.ini line-mode access.
ostrel_library(ostrel_modebackup WINDOWS SOURCES ${CMAKE_CURRENT_LIST_DIR}/ModeBackup.cpp
  DEPS configfile logging)
