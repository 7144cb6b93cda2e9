#include "platform/windows.h"
#include "platform/ZDriveTable.h"

#include <gtest/gtest.h>

#include <thread>

TEST(Win32Base, LastErrorIsPerThread)
{
    SetLastError(ERROR_NOT_READY);
    DWORD other = 0;
    std::thread([&] { other = GetLastError(); }).join();
    EXPECT_EQ(other, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_READY));
}
