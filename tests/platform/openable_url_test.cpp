#include "platform/openable_url.h"

#include <gtest/gtest.h>

#include <string>

namespace tamrik::platform {
namespace {

const std::string kMapLink = "https://www.google.com/maps/search/?api=1&query=-33.8688,151.2093";

TEST(OpenableUrl, OnlyPlainWebLinksAreOpenable) {
  for (const std::string& url : {kMapLink, std::string("http://example.com"), std::string("https://a.b/c%20d?x=1#top")}) {
    EXPECT_TRUE(isOpenableUrl(url)) << url;
  }
  for (const char* url :
       {"", "ftp://example.com", "file:///etc/passwd", "javascript:alert(1)", "https://", "https:///path",
        "https://?q", "HTTPS://EXAMPLE.COM", "--help", "https://ex ample.com", "https://example.com/'x'",
        "https://example.com/\"", "https://example.com/`id`", "https://example.com/$(id)", "https://e.com/a\\b",
        "https://e.com/<script>", "https://e.com/\n", "https://e.com/\t", "https://e.com/\xc3\xa9", "https://e.com/%2",
        "https://e.com/%zz", "https://e.com/a|b", "https://e.com/{x}"}) {
    EXPECT_FALSE(isOpenableUrl(url)) << url;
  }
  EXPECT_TRUE(isOpenableUrl("https://e.com/" + std::string(4000, 'a')));
  EXPECT_FALSE(isOpenableUrl("https://e.com/" + std::string(5000, 'a')));

  // Where only https links may go out, http ones stay in too.
  EXPECT_TRUE(isOpenableHttpsUrl(kMapLink));
  for (const char* url : {"http://example.com", "https://ex ample.com", "https://", "file:///c:/windows", "ms-settings:"}) {
    EXPECT_FALSE(isOpenableHttpsUrl(url)) << url;
  }
}

}  // namespace
}  // namespace tamrik::platform
