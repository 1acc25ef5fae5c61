# "/check": the engine's view of the registry settings, printed.
ostrel_library(ostrel_check WINDOWS SOURCES ${CMAKE_CURRENT_LIST_DIR}/Check.cpp
  DEPS ostrel_engine)
