#include "util/Exceptions.h"

#include <gtest/gtest.h>

using namespace corvan;

TEST(Exceptions, JoinMessageSkipsEmptyParts) {
    EXPECT_EQ(JoinMessage("Socket bind failed", "Address in use"),
              "Socket bind failed: Address in use");
    EXPECT_EQ(JoinMessage("", "Address in use"), "Address in use");
    EXPECT_EQ(JoinMessage("Socket bind failed", ""), "Socket bind failed");
}

TEST(Exceptions, CodedExceptionKeepsCodeAndMessage) {
    try {
        throw ECodedException("Connection refused", 10061);
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Connection refused");
        EXPECT_EQ(dynamic_cast<const ECodedException&>(e).ErrorCode, 10061);
    }
}
