#pragma once
// The engine and end-to-end tests run in a zone whose offset from UTC has a
// half hour in it (CTest sets TZ=IST-5:30), so that a moment taken in UTC
// instead of local time, or the other way round, is hours and a half off
// and fails them. This checks that the zone is in force.

#include <windows.h>

#include <gtest/gtest.h>

inline void expectAZoneWithAHalfHourOffset()
{
    TIME_ZONE_INFORMATION zone;
    GetTimeZoneInformation(&zone);
    EXPECT_NE(zone.Bias % 60, 0) << "bias " << zone.Bias << " minutes: run with TZ=IST-5:30, as CTest does";
}
