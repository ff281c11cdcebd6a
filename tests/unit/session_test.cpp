// The game session's pure parts (the site's play URL, the server's answers,
// the signed forms) and the heartbeat's stop.
#include "app/session.h"
#include "app/update.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "core/signer.h"

namespace {

struct PlayUrlCase {
  const wchar_t* tail;  // after the site base URL
  const char* site;
  const char* shard;
  const char* token;  // nullptr: not written
};

TEST(ParsePlayUrl, TakesWorldShardAndToken) {
  const PlayUrlCase cases[] = {
      {L"/play?token=abc", "local", "", "abc"},
      {L"/s3/play?token=abc&x=1", "s3", "/s3", "abc"},
      {L"/s15/play?token=t#frag", "s15", "/s15", "t"},
      {L"/s1/play?token=abc", "local", "", "abc"},
      {L"/s16/play?token=abc", "local", "", "abc"},
      {L"/s12/play", "s12", "/s12", nullptr},
      {L"/play?site=s5&token=abc", "s5", "/s5", "abc"},
      {L"/s3/play?site=eu1&token=abc", "eu1", "/eu1", "abc"},
      {L"/play?site=s1&token=abc", "local", "", "abc"},
      {L"/play?site=local&token=abc", "local", "", "abc"},
      {L"/play?site=&token=abc", "local", "", "abc"},
      {L"/play?token=a%2Bb", "local", "", "a%2Bb"},
      // The higher number is tried first.
      {L"/s3/x/s12/play?token=abc", "s12", "/s12", "abc"},
      {L"/s12/x/s3/play?token=abc", "s12", "/s12", "abc"},
      // The searched segment always ends in a slash.
      {L"/s3?token=abc", "local", "", "abc"},
      // A site parameter wins over the path, even when empty.
      {L"/s7/play?site=&token=abc", "local", "", "abc"},
      {L"/s7/play?token=abc&site=s9", "s9", "/s9", "abc"},
      // Parameters count by their whole name only.
      {L"/play?csrftoken=bad&token=good", "local", "", "good"},
      {L"/s4/play?mysite=s9&token=abc", "s4", "/s4", "abc"},
      {L"/play?xtoken=abc", "local", "", nullptr},
      {L"/play?a.token=x&x-token=y&my_token=z&token=good", "local", "", "good"},
      // Wherever a site puts them, as long as no name runs into them.
      {L"/play#site=eu1&token=abc", "eu1", "/eu1", "abc"},
      {L"/play;token=abc", "local", "", "abc"},
      {L"/play/token=abc", "local", "", "abc"},
      // Values end at '&', '#' or '?' and are kept as they stand.
      {L"/play?token=a+b?c", "local", "", "a+b"},
      {L"/play?site=s6#x&token=abc", "s6", "/s6", "abc"},
      {L"/play?token=", "local", "", ""},
      {L"/play?token=\u00e7\u0131", "local", "", "\xC3\xA7\xC4\xB1"},
      // Only a name becomes an API path; anything else names no world.
      {L"/play?site=eu_1-x&token=abc", "eu_1-x", "/eu_1-x", "abc"},
      {L"/play?site=abcdefghijklmnopqrstuvwxyz012345&token=abc",
       "abcdefghijklmnopqrstuvwxyz012345", "/abcdefghijklmnopqrstuvwxyz012345", "abc"},
      {L"/play?site=abcdefghijklmnopqrstuvwxyz0123456&token=abc", "", "", "abc"},
      {L"/s3/play?site=..%2F..%2Fadmin&token=abc", "", "", "abc"},
      {L"/play?site=a/b&token=abc", "", "", "abc"},
      {L"/play?site=eu.1&token=abc", "", "", "abc"},
      {L"/play?site=d\u00fcnya&token=abc", "", "", "abc"},
  };
  for (const PlayUrlCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    std::string site = "unset", token = "untouched", shard = "unset";
    ParsePlayUrl(std::wstring(L"https://oyun.tavrensil.com") + c.tail, site, token, shard);
    EXPECT_EQ(site, c.site);
    EXPECT_EQ(shard, c.shard);
    EXPECT_EQ(token, c.token ? c.token : "untouched");
  }
}

TEST(ReadHelloAnswer, TakesChallengeOrWhatToTellThePlayer) {
  struct Case {
    const char* body;
    bool ok;
    const char* challenge;
    bool update;
    const wchar_t* error;
  };
  const wchar_t* const kDefault = L"G\u00fcvenlik do\u011frulamas\u0131 ba\u015far\u0131s\u0131z.";
  const Case cases[] = {
      {R"({"ok":true,"challenge":"c1"})", true, "c1", false, kDefault},
      {R"({"ok":true})", true, "", false, kDefault},
      {R"({"ok":false,"error":"Bak\u0131m"})", false, "", false, L"Bak\u0131m"},
      {R"({"ok":false})", false, "", false, kDefault},
      {"<html>bakim</html>", false, "", false, kDefault},
      // An update the check may then not require: the text is still there.
      {R"({"ok":false,"update":true,"error":"Yeni s\u00fcr\u00fcm"})", false, "", true,
       L"Yeni s\u00fcr\u00fcm"},
      {R"({"ok":false,"update":1})", false, "", true, kDefault},
      {R"({"ok":true,"update":true,"challenge":"c2"})", true, "c2", false, kDefault},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const HelloAnswer answer = ReadHelloAnswer(c.body);
    EXPECT_EQ(answer.ok, c.ok);
    EXPECT_EQ(answer.challenge, c.challenge);
    EXPECT_EQ(answer.update, c.update);
    EXPECT_EQ(answer.error, c.error);
  }
}

TEST(ReadPlayAnswer, StartsAGameOnlyFromAWebAddress) {
  struct Case {
    const char* body;
    bool ok;
    const wchar_t* error;
  };
  const wchar_t* const kNoGame = L"Oyun ba\u015flat\u0131lamad\u0131.";
  const Case cases[] = {
      {R"({"ok":true,"csid":"s1","challenge":"c1","movie":"http://h/game.swf","flashvars":"a=1"})",
       true, kNoGame},
      {R"({"ok":true,"movie":"HTTPS://h/game.swf"})", true, kNoGame},
      {R"({"ok":true,"movie":"\\\\host\\share\\x.swf"})", false, kNoGame},
      {R"({"ok":true,"movie":"file:///C:/x.swf"})", false, kNoGame},
      {R"({"ok":true,"movie":"httpx://h/game.swf"})", false, kNoGame},
      {R"({"ok":true})", false, kNoGame},
      {R"({"ok":false,"error":"Oturum s\u00fcresi doldu"})", false, L"Oturum s\u00fcresi doldu"},
      {"<html>", false, kNoGame},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const PlayAnswer answer = ReadPlayAnswer(c.body);
    EXPECT_EQ(answer.ok, c.ok);
    EXPECT_EQ(answer.error, c.error);
  }
  const PlayAnswer full = ReadPlayAnswer(cases[0].body);
  EXPECT_EQ(full.csid, "s1");
  EXPECT_EQ(full.challenge, "c1");
  EXPECT_EQ(full.movie, "http://h/game.swf");
  EXPECT_EQ(full.flashvars, "a=1");
}

TEST(ReadBeatAnswer, KeepsRollsOrEnds) {
  struct Case {
    int32_t status;
    const char* body;
    BeatAnswer::Kind kind;
    const char* challenge;
    const wchar_t* error;
  };
  const Case cases[] = {
      {200, R"({"ok":true,"challenge":"c2"})", BeatAnswer::kNewChallenge, "c2", L""},
      {200, R"({"ok":true})", BeatAnswer::kNewChallenge, "", L""},
      {500, R"({"ok":true,"challenge":"c2"})", BeatAnswer::kKeepChallenge, "", L""},
      {0, "", BeatAnswer::kKeepChallenge, "", L""},
      {200, R"({"ok":false})", BeatAnswer::kKeepChallenge, "", L""},
      {200, "<html>", BeatAnswer::kKeepChallenge, "", L""},
      {200, R"({"ok":false,"fatal":true,"error":"Ba\u015fka cihaz"})", BeatAnswer::kFatal, "",
       L"Ba\u015fka cihaz"},
      {200, R"({"ok":false,"fatal":1})", BeatAnswer::kFatal, "", L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const BeatAnswer answer = ReadBeatAnswer(c.status, c.body);
    EXPECT_EQ(answer.kind, c.kind);
    EXPECT_EQ(answer.challenge, c.challenge);
    EXPECT_EQ(answer.error, c.error);
  }
}

TEST(ChallengeAfterBeat, OnlyATakenNewChallengeRolls) {
  struct Case {
    BeatAnswer::Kind kind;
    bool abandoned;
    const char* after;
  };
  const Case cases[] = {
      {BeatAnswer::kNewChallenge, false, "c2"},
      {BeatAnswer::kNewChallenge, true, "c1"},  // the goodbye may be signed over c1
      {BeatAnswer::kKeepChallenge, false, "c1"},
      {BeatAnswer::kFatal, false, "c1"},
  };
  for (const Case& c : cases) {
    BeatAnswer answer;
    answer.kind = c.kind;
    answer.challenge = "c2";
    EXPECT_EQ(ChallengeAfterBeat(answer, c.abandoned, "c1"), c.after)
        << c.kind << " abandoned=" << c.abandoned;
  }
}

TEST(SignedForms, CarryTheirFieldsAndTheSignatureOverThem) {
  using Form = std::map<std::string, std::string>;
  const Form play = PlayForm("tok", "s3", "ch", true);
  EXPECT_EQ(play, (Form{{"build", std::to_string(kBuild)},
                        {"challenge", "ch"},
                        {"scheme", "https"},
                        {"sig", SignRequest("play", "ch", "tok\ns3")},
                        {"token", "tok"}}));
  EXPECT_EQ(PlayForm("tok", "s3", "ch", false).at("scheme"), "http");
  EXPECT_EQ(SessionForm("beat", "ch", "id"), (Form{{"build", std::to_string(kBuild)},
                                                  {"challenge", "ch"},
                                                  {"csid", "id"},
                                                  {"sig", SignRequest("beat", "ch", "id")}}));
  EXPECT_EQ(SessionForm("bye", "ch", "id").at("sig"), SignRequest("bye", "ch", "id"));
}

TEST(RoadFailureLine, NamesTheRequestTheStageOrStatusAndTheRoute) {
  struct Case {
    int32_t status;
    uint32_t error;
    Stage stage;
    const wchar_t* route;
    const wchar_t* line;
  } const cases[] = {
      {200, 0, Stage::kNone, L"dogrudan", L""},
      {0, 12029, Stage::kSend, L"dogrudan",
       L"istek basarisiz: hello asama=send kod=12029 baglanti=dogrudan"},
      {503, 0, Stage::kNone, L"vekil=proxy.okul:3128",
       L"istek basarisiz: hello http=503 baglanti=vekil=proxy.okul:3128"},
      {0, 12017, Stage::kReceive, L"",
       L"istek basarisiz: hello asama=receive kod=12017 baglanti=yok"},
  };
  for (const Case& c : cases) {
    HttpResponse response;
    response.status = c.status;
    response.error = c.error;
    response.stage = c.stage;
    response.route = c.route;
    response.body = "{\"challenge\":\"secret\"}";  // never logged
    EXPECT_EQ(RoadFailureLine("hello", response), c.line);
  }
}

// Without a session the thread only sleeps, so each stop below finds it
// asleep in its 20-second wait: the stop must wake it rather than wait, and
// F5's start while it runs must leave one thread, not start another.
TEST(DownloadFailure, NamesWhatThePlayerCanDoAboutIt) {
  struct Case {
    int32_t status;
    uint32_t error;
    UpdateFailure failure;
  };
  const Case cases[] = {
      {404, 0, UpdateFailure::kNetwork},
      {0, 12029, UpdateFailure::kNetwork},
      {0, kErrorCancelled, UpdateFailure::kCancelled},
      {0, kErrorAnswerTooLarge, UpdateFailure::kVerification},
      {0, ERROR_DISK_FULL, UpdateFailure::kDiskSpace},
      {0, 225, UpdateFailure::kBlocked},  // the antivirus found something
      {0, ERROR_ACCESS_DENIED, UpdateFailure::kBlocked},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    HttpResponse response;
    response.status = c.status;
    response.error = c.error;
    EXPECT_EQ(DownloadFailure(response), c.failure);
  }
}

TEST(Heartbeat, StopWakesTheSleepingThread) {
  GameSession session(L"http://127.0.0.1:9");
  EXPECT_TRUE(session.StopHeartbeat()) << "stop without a start";
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    session.StartHeartbeat();
    Sleep(100);  // lets the new thread reach its wait
    session.StartHeartbeat();
    EXPECT_TRUE(session.StopHeartbeat());
  }
}

}  // namespace
