#include <gtest/gtest.h>

#include "RemoteInput.h"

using namespace qov;

TEST(RemoteInput, KeyAndMouseTexts)
{
    EXPECT_EQ(KeyRequestText(27, false), "REQUEST\r\nCommand=KEYBD_EVENT\r\nbVk=27\r\nbScan=0\r\ndwFlags=0");
    EXPECT_EQ(KeyRequestText(27, true), "REQUEST\r\nCommand=KEYBD_EVENT\r\nbVk=27\r\nbScan=0\r\ndwFlags=2");
    EXPECT_EQ(MouseRequestText(2, 10, 20), "REQUEST\r\nCommand=MOUSE_EVENT\r\ndwFlags=2\r\ndx=10\r\ndy=20\r\ndwData=0");
    EXPECT_EQ(MouseRequestText(remote::kMouseMoveAbsolute, -3, 0),
              "REQUEST\r\nCommand=MOUSE_EVENT\r\ndwFlags=32769\r\ndx=-3\r\ndy=0\r\ndwData=0");
    EXPECT_EQ(MouseButtonFlags(TMouseButton::Left, false), 2);
    EXPECT_EQ(MouseButtonFlags(TMouseButton::Left, true), 4);
    EXPECT_EQ(MouseButtonFlags(TMouseButton::Right, false), 8);
    EXPECT_EQ(MouseButtonFlags(TMouseButton::Right, true), 0x10);
    EXPECT_EQ(MouseButtonFlags(TMouseButton::Middle, false), 0x20);
    EXPECT_EQ(MouseButtonFlags(TMouseButton::Middle, true), 0x40);
}
