# The engine: the run loop and the toggling of linesets.
ostrel_library(ostrel_engine WINDOWS SOURCES ${CMAKE_CURRENT_LIST_DIR}/Service.cpp
  DEPS ostrel_settings ostrel_scheduling ostrel_modebackup windows_service logging)
