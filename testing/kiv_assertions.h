// Assertions on the library's result codes that print both sides readably
// ("0x80060005 (connect failed or timed out)") instead of as decimals.
#pragma once

#include <gtest/gtest.h>

#include "kiv/result_codes.h"

#define EXPECT_KIV_CODE(actual, expected) \
  EXPECT_EQ(::kiv::DescribeResult(actual), ::kiv::DescribeResult(expected))
#define ASSERT_KIV_OK(actual) ASSERT_EQ(::kiv::DescribeResult(actual), ::kiv::DescribeResult(0))
