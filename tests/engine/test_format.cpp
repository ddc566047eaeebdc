#include <gtest/gtest.h>

#include <cstring>

#include "QovFormat.h"

using namespace qov;

TEST(RecordingFormat, StatusTexts)
{
    EXPECT_STREQ(EngineErrorText(14), "QovPlayer \xD0\xE8\xD2\xAA\xC9\xFD\xBC\xB6");  // GBK
    EXPECT_STREQ(EngineErrorText(1), EngineErrorText(5));
    EXPECT_STREQ(EngineErrorText(0), "");
    EXPECT_STREQ(EngineErrorText(16), "");
}

TEST(RecordingFormat, RowBytesPadsToFourBytes)
{
    EXPECT_EQ(RowBytes(3, 24), 12u);
    EXPECT_EQ(RowBytes(4, 24), 12u);
    EXPECT_EQ(RowBytes(1, 1), 4u);
    EXPECT_EQ(RowBytes(33, 1), 8u);
    EXPECT_EQ(RowBytes(1920, 24), 5760u);
}
