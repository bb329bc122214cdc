#include "src/curl_common.h"

#include <gtest/gtest.h>

namespace tavorisdk::internal {
namespace {

using std::chrono::milliseconds;

TEST(CurlCommonTest, RetryDelayDoublesUpToItsCap) {
  SetRetryBaseDelayForTesting(milliseconds(500));
  EXPECT_EQ(RetryDelay(0), milliseconds(500));
  EXPECT_EQ(RetryDelay(1), milliseconds(500));
  EXPECT_EQ(RetryDelay(2), milliseconds(1000));
  EXPECT_EQ(RetryDelay(4), milliseconds(4000));
  EXPECT_EQ(RetryDelay(5), milliseconds(8000));
  EXPECT_EQ(RetryDelay(100), milliseconds(8000));
}

TEST(CurlCommonTest, WhatAnotherAttemptMayCure) {
  for (long status : {408, 429, 502, 503, 504}) {
    EXPECT_TRUE(IsTransientHttpStatus(status)) << status;
  }
  for (long status : {200, 206, 404, 416, 500}) {
    EXPECT_FALSE(IsTransientHttpStatus(status)) << status;
  }
  for (CURLcode code : {CURLE_COULDNT_CONNECT, CURLE_OPERATION_TIMEDOUT, CURLE_PARTIAL_FILE,
                        CURLE_RECV_ERROR, CURLE_SSL_CONNECT_ERROR}) {
    EXPECT_TRUE(IsTransientCurlError(code)) << code;
  }
  for (CURLcode code : {CURLE_OK, CURLE_URL_MALFORMAT, CURLE_PEER_FAILED_VERIFICATION,
                        CURLE_TOO_MANY_REDIRECTS, CURLE_WRITE_ERROR}) {
    EXPECT_FALSE(IsTransientCurlError(code)) << code;
  }
  EXPECT_TRUE(IsTlsError(CURLE_PEER_FAILED_VERIFICATION));
  EXPECT_TRUE(IsTlsError(CURLE_SSL_CONNECT_ERROR));
  EXPECT_FALSE(IsTlsError(CURLE_COULDNT_CONNECT));
}

}  // namespace
}  // namespace tavorisdk::internal
