// The request-head parser on whole, partial, malformed and oversized heads.
#include "metrics/http_request.h"

#include <gtest/gtest.h>

#include <string>

namespace qmx {
namespace {

using R = HttpParseResult;

TEST(HttpRequestTest, GoodHeadsGiveMethodPathVersionAndLength) {
  struct Case {
    std::string head;
    std::string rest;  // what follows the head; never counted in it
    std::string method;
    std::string path;
    int minor;
  };
  const Case cases[] = {
      {"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:9400\r\n\r\n", "", "GET", "/metrics", 1},
      {"GET /metrics?name[]=up&x HTTP/1.0\r\n\r\n", "", "GET", "/metrics", 0},
      {"POST /other HTTP/1.1\r\nA: b\tc \xE2\x82\xAC\r\nEmpty:\r\n\r\n", "body", "POST",
       "/other", 1},
      {"GET http://host:9400/metrics?x=1 HTTP/1.1\r\n\r\n", "", "GET", "/metrics", 1},
      {"GET HTTPS://host HTTP/1.1\r\n\r\n", "", "GET", "/", 1},
      {"OPTIONS * HTTP/1.1\r\n\r\n", "GET / HTTP/1.1\r\n\r\n", "OPTIONS", "*", 1},
      // Bare LF line ends, alone and mixed with CR LF.
      {"GET /metrics HTTP/1.1\nHost: x\n\n", "", "GET", "/metrics", 1},
      {"GET /metrics HTTP/1.1\r\nHost: x\n\r\n", "\n", "GET", "/metrics", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    const HttpRequestParse p = ParseHttpRequest(c.head + c.rest);
    ASSERT_EQ(p.result, R::kComplete) << p.problem;
    EXPECT_EQ(p.method, c.method);
    EXPECT_EQ(p.path, c.path);
    EXPECT_EQ(p.versionMajor, 1);
    EXPECT_EQ(p.versionMinor, c.minor);
    EXPECT_EQ(p.headBytes, c.head.size());
  }
}

TEST(HttpRequestTest, EveryPrefixOfAGoodHeadAsksForMore) {
  const std::string head = "GET /metrics HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\n";
  for (size_t n = 0; n < head.size(); ++n) {
    EXPECT_EQ(ParseHttpRequest(head.substr(0, n)).result, R::kIncomplete) << n;
  }
}

TEST(HttpRequestTest, MalformedHeadsAreBadAsSoonAsTheirLineEnds) {
  const std::string malformed[] = {
      "GET /metrics\r\n",  // no version: known before the head ends
      "GET /metrics HTTP/2.0\r\n\r\n",
      "GET /metrics HTTP/0.9\r\n\r\n",
      "GET /metrics HTTP/1.10\r\n\r\n",
      "GET /metrics http/1.1\r\n\r\n",
      "GET /metrics HTTP/1.1 \r\n\r\n",
      "GET  /metrics HTTP/1.1\r\n\r\n",
      "GET metrics HTTP/1.1\r\n\r\n",
      "G(T /metrics HTTP/1.1\r\n\r\n",
      "GET /me\x01trics HTTP/1.1\r\n\r\n",
      std::string("GET /me\0trics HTTP/1.1\r\n\r\n", 26),
      "GET /m\xC3\xA9trics HTTP/1.1\r\n\r\n",
      "GET /metrics HTTP/1.1\r\r\n\r\n",
      "\r\nGET /metrics HTTP/1.1\r\n\r\n",
      "GET /metrics HTTP/1.1\r\nHost x\r\n\r\n",
      "GET /metrics HTTP/1.1\r\nHost : x\r\n\r\n",
      "GET /metrics HTTP/1.1\r\nA: b\r\n folded\r\n\r\n",
      "GET /metrics HTTP/1.1\r\nA: b\x7F\r\n\r\n",
      "GET /metrics HTTP/1.1\r\nA: b\rc\r\n\r\n",
  };
  for (const std::string& head : malformed) {
    const HttpRequestParse p = ParseHttpRequest(head);
    EXPECT_EQ(p.result, R::kBad) << head;
    EXPECT_STRNE(p.problem, "") << head;
    EXPECT_EQ(ParseHttpRequest(head + "more\r\n\r\n").result, R::kBad) << head;
  }
  EXPECT_STREQ(ParseHttpRequest("GET /metrics\n").problem, "missing HTTP version");
}

TEST(HttpRequestTest, HeadsPastTheLimitAreTooLarge) {
  const std::string line = "GET /metrics HTTP/1.1\r\n";
  // A head of exactly the limit, blank line included, is taken.
  std::string head = line + "X: " + std::string(kMaxRequestBytes - line.size() - 7, 'a');
  head += "\r\n\r\n";
  ASSERT_EQ(head.size(), kMaxRequestBytes);
  EXPECT_EQ(ParseHttpRequest(head).result, R::kComplete);
  head.insert(line.size() + 3, "a");
  EXPECT_EQ(ParseHttpRequest(head).result, R::kTooLarge);
  // Without any line end, and with a malformed line only past the limit.
  const std::string endless(kMaxRequestBytes, 'G');
  EXPECT_EQ(ParseHttpRequest(endless.substr(1)).result, R::kIncomplete);
  EXPECT_EQ(ParseHttpRequest(endless).result, R::kTooLarge);
  EXPECT_EQ(ParseHttpRequest(head.substr(0, kMaxRequestBytes) + "\x01\r\n").result,
            R::kTooLarge);
}

}  // namespace
}  // namespace qmx
