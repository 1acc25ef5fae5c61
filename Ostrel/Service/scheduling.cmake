# Schedules, their merge and the scheduler that fires their events. Portable:
# built and tested natively as well as for Windows.
ostrel_library(ostrel_scheduling PORTABLE
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/Schedule.cpp ${CMAKE_CURRENT_LIST_DIR}/LinesetSchedule.cpp
          ${CMAKE_CURRENT_LIST_DIR}/CompositeSchedule.cpp ${CMAKE_CURRENT_LIST_DIR}/Scheduler.cpp
  DEPS ostrel_settings_model)
