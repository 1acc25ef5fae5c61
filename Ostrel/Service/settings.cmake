# Settings: the portable model (equality, dump, what stored values mean) and
# its registry side.
ostrel_library(ostrel_settings_model PORTABLE
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/Settings.cpp ${CMAKE_CURRENT_LIST_DIR}/SettingsLoad.cpp
  DEPS reg_data)
ostrel_library(ostrel_settings WINDOWS SOURCES ${CMAKE_CURRENT_LIST_DIR}/SettingsRegistry.cpp
  DEPS ostrel_settings_model reg)
