// Which installer an update answer offers, and the attempt record.
#include "core/update_plan.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kHash(64, 'a');

// An answer with the four fields; `field` replaced by `value` (raw JSON, or
// the field left out when empty).
std::string Answer(const std::string& field, const std::string& value) {
  std::string fields[][2] = {{"installer_url", "\"https://site.example/download/setup.exe\""},
                             {"installer_sha256", "\"" + kHash + "\""},
                             {"installer_size", "1048576"},
                             {"latest_build", "8"}};
  std::string body = "{\"must_update\":true";
  for (auto& f : fields) {
    if (f[0] == field) f[1] = value;
    if (!f[1].empty()) body += ",\"" + f[0] + "\":" + f[1];
  }
  return body + "}";
}

TEST(ReadInstallerOffer, TakesOnlyAWholeOfferOfANewerBuild) {
  struct Case {
    const char* field;
    std::string value;
    bool offered;
  };
  const Case cases[] = {
      {"", "", true},
      {"installer_url", "\"https://SITE.example:8443/x/setup.exe?v=8\"", true},
      {"installer_url", "\"https://cdn.example/setup.exe\"", true},  // a host the build names
      {"installer_sha256", "\"" + std::string(64, 'F') + "\"", true},
      {"installer_size", "65536", true},
      {"installer_size", "536870912", true},
      {"installer_url", "", false},
      {"installer_url", "\"http://site.example/setup.exe\"", false},
      {"installer_url", "\"https://evil.example/setup.exe\"", false},
      {"installer_url", "\"https://site.example.evil.example/setup.exe\"", false},
      {"installer_url", "\"https://user@site.example/setup.exe\"", false},
      {"installer_url", "\"https://site.example/set up.exe\"", false},
      {"installer_url", "\"https://site.example/s\\u00e9tup.exe\"", false},
      {"installer_url", "8", false},
      {"installer_sha256", "", false},
      {"installer_sha256", "\"" + std::string(63, 'a') + "\"", false},
      {"installer_sha256", "\"" + std::string(63, 'a') + "g\"", false},
      {"installer_size", "", false},
      {"installer_size", "65535", false},
      {"installer_size", "536870913", false},
      {"installer_size", "1048576.5", false},
      {"installer_size", "\"1048576\"", false},
      {"latest_build", "", false},
      {"latest_build", "7", false},  // our own build
      {"latest_build", "8.5", false},
      {"latest_build", "\"8\"", false},
  };
  for (const Case& c : cases) {
    const std::string body = Answer(c.field, c.value);
    SCOPED_TRACE(body);
    InstallerOffer offer;
    std::string reason;
    EXPECT_EQ(ReadInstallerOffer(body, L"site.example", {L"cdn.example"}, 7, &offer, &reason),
              c.offered);
    EXPECT_EQ(reason.empty(), c.offered);
    if (c.offered) {
      EXPECT_EQ(offer.sha256.size(), 64u);
    }
  }
  InstallerOffer offer;
  std::string reason;
  ASSERT_TRUE(ReadInstallerOffer(Answer("installer_sha256", "\"" + std::string(64, 'F') + "\""),
                                 L"site.example", {}, 7, &offer, &reason));
  EXPECT_EQ(offer.sha256, std::string(64, 'f'));
  EXPECT_EQ(offer.size, 1048576u);
  EXPECT_EQ(offer.build, 8);
  EXPECT_EQ(offer.url.port, 443);
}

TEST(UpdateAttempts, TwoStartsPerBuildThenThePage) {
  struct Case {
    const char* record;
    int64_t build;
    bool may_try;
    const char* after;
  };
  const Case cases[] = {
      {"", 8, true, "build=8 attempts=1\n"},
      {"build=8 attempts=1\n", 8, true, "build=8 attempts=2\n"},
      {"build=8 attempts=2\r\n", 8, false, "build=8 attempts=3\n"},
      {"build=8 attempts=2", 9, true, "build=9 attempts=1\n"},  // a newer build starts afresh
      {"build=8 attempts=5 and more", 8, true, "build=8 attempts=1\n"},
      {"build=8 attempts=-4", 8, true, "build=8 attempts=1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    const UpdateAttempts read = ReadUpdateAttempts(c.record);
    EXPECT_EQ(MayTryUpdate(read, c.build), c.may_try);
    EXPECT_EQ(WriteUpdateAttempts(CountUpdateAttempt(read, c.build)), c.after);
  }
}

}  // namespace
