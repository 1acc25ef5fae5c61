# Settings: the portable model (equality, dump) and its registry side.
ostrel_library(ostrel_settings_model PORTABLE SOURCES ${CMAKE_CURRENT_LIST_DIR}/Settings.cpp)
ostrel_library(ostrel_settings WINDOWS SOURCES ${CMAKE_CURRENT_LIST_DIR}/SettingsRegistry.cpp
  DEPS ostrel_settings_model reg)
