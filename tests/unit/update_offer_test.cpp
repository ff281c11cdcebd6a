#include "core/update_offer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kDigest = "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789abcdef";

// An update answer offering an installer, with one field replaced (by its
// JSON text) or, for "", dropped.
std::string Answer(const std::string& field, const std::string& value) {
  std::string body = "{\"must_update\":true";
  const std::pair<const char*, std::string> fields[] = {
      {"installer_url", "\"https://oyun.example.com/indir/setup-9.exe\""},
      {"installer_sha256", "\"" + kDigest + "\""},
      {"installer_size", "1048576"},
      {"latest_build", "9"},
  };
  for (const auto& f : fields) {
    const std::string text = field == f.first ? value : f.second;
    if (!text.empty()) body += ",\"" + std::string(f.first) + "\":" + text;
  }
  return body + "}";
}

TEST(InstallerOffer, TakenOnlyWhenEveryFieldIsSound) {
  SiteAddress site;
  ASSERT_TRUE(ReadSiteAddress(L"https://oyun.example.com", &site));
  const struct {
    const char* field;
    std::string value;
    bool taken;
  } cases[] = {
      {"", "", true},
      {"installer_url", "\"https://cdn.example.net/setup.exe\"", true},  // a host the build names
      {"installer_url", "\"https://OYUN.example.com:8443/s.exe\"", true},
      {"installer_url", "\"http://oyun.example.com/setup.exe\"", false},
      {"installer_url", "\"oyun.example.com/setup.exe\"", false},
      {"installer_url", "\"https://evil.example/setup.exe\"", false},
      {"installer_url", "\"https://evil.example@oyun.example.com/s.exe\"", false},
      {"installer_url", "\"https://oyun.example.com/kur\xC3\xBCm.exe\"", false},
      {"installer_url", "", false},
      {"installer_sha256", "\"" + kDigest.substr(1) + "\"", false},
      {"installer_sha256", "\"" + kDigest.substr(1) + "g\"", false},
      {"installer_sha256", "64", false},
      {"installer_size", "65535", false},
      {"installer_size", "65536", true},
      {"installer_size", "536870912", true},
      {"installer_size", "536870913", false},
      {"installer_size", "1048576.5", false},
      {"installer_size", "\"1048576\"", false},
      {"latest_build", "7", false},  // not newer than the client's own
      {"latest_build", "8", true},
      {"latest_build", "8.5", false},
      {"latest_build", "1e300", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " = " + c.value);
    InstallerOffer offer;
    offer.size = -1;
    const bool taken =
        ReadInstallerOffer(Answer(c.field, c.value), site, 7, {L"cdn.example.net"}, &offer);
    EXPECT_EQ(taken, c.taken);
    if (taken) {
      EXPECT_EQ(offer.sha256, "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
    } else {
      EXPECT_EQ(offer.size, -1) << "an offer refused leaves the result alone";
    }
  }
}

// An update that fails is tried twice, never a third time for that build;
// a newer build starts over. The record survives only in its own form.
TEST(UpdateAttempts, ATriedBuildGivesWayToThePageAfterTwoAttempts) {
  UpdateAttempts record;
  const struct {
    int64_t build;
    bool may_try;
  } starts[] = {{9, true}, {9, true}, {9, false}, {9, false}, {10, true}};
  for (const auto& start : starts) {
    SCOPED_TRACE(start.build);
    EXPECT_EQ(MayTryInstall(record, start.build), start.may_try);
    if (!start.may_try) continue;
    UpdateAttempts kept;
    ASSERT_TRUE(ParseUpdateAttempts(
        FormatUpdateAttempts(AfterAttempt(record, start.build)) + "\r\n", &kept));
    record = kept;
  }
  EXPECT_EQ(FormatUpdateAttempts(record), "build=10 attempts=1");
  for (const char* text : {"", "build=9", "attempts=1 build=9", "build=9 attempts=-1",
                           "build=0 attempts=1", "build=9  attempts=1", "build=9 attempts=1 x=2",
                           "build=99999999999 attempts=1", "build=9 attempts=1001"}) {
    UpdateAttempts untouched;
    untouched.count = 77;
    EXPECT_FALSE(ParseUpdateAttempts(text, &untouched)) << text;
    EXPECT_EQ(untouched.count, 77) << text;
  }
}

}  // namespace
