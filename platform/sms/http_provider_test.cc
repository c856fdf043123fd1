#include "platform/sms/http_provider.h"

#include <gtest/gtest.h>

#include "platform/sms/sms_renderer_http.h"
#include "platform/sms/testing/fake_http_client.h"

namespace mailvane {
namespace {

const std::string kAwkward = "a \"q\" & b=c\n\\ 😀";

TEST(HttpProviderTest, EachPlaceIsEscapedItsWay) {
  const struct {
    HttpEscape escape;
    std::string out;
  } cases[] = {
      {HttpEscape::kUrl, "a%20%22q%22%20%26%20b%3Dc%0A%5C%20%F0%9F%98%80"},
      {HttpEscape::kForm, "a%20%22q%22%20%26%20b%3Dc%0A%5C%20%F0%9F%98%80"},
      {HttpEscape::kJson, "a \\\"q\\\" & b=c\\n\\\\ 😀"},
      {HttpEscape::kXml, "a &quot;q&quot; &amp; b=c\n\\ 😀"},
      {HttpEscape::kHeader, "a \"q\" & b=c\\ 😀"},
      {HttpEscape::kNone, kAwkward},
  };
  for (const auto& c : cases) EXPECT_EQ(HttpEscaped(kAwkward, c.escape), c.out);
  EXPECT_EQ(HttpEscaped(std::string("\x01\t\r", 3), HttpEscape::kJson), "\\u0001\\t\\r");
  EXPECT_EQ(HttpEscaped("</t><to>'1'</to>", HttpEscape::kXml),
            "&lt;/t&gt;&lt;to&gt;&apos;1&apos;&lt;/to&gt;");
  const std::pair<std::string, std::optional<HttpEscape>> types[] = {
      {"application/json; charset=utf-8", HttpEscape::kJson},
      {"Application/X-WWW-Form-Urlencoded", HttpEscape::kForm},
      {"text/xml; charset=utf-8", HttpEscape::kXml},
      {"application/soap+xml", HttpEscape::kXml},
      {"text/plain", HttpEscape::kNone},
      {"text/csv", std::nullopt},
      {"multipart/form-data", std::nullopt},
      {"", std::nullopt}};
  for (const auto& [type, escape] : types) EXPECT_EQ(BodyEscapeOf(type), escape) << type;
}

TEST(HttpProviderTest, TemplatesFillKnownPlaceholdersOnly) {
  HttpPlaceholders v{"+44 7700", "+447700", "hi & bye", "AC1", "pw", "Bob", "Ops", "r1"};
  EXPECT_EQ(ExpandHttpTemplate("{\"to\":\"{digits}\",\"x\":{\"t\":\"{text}\"},\"k\":\"{key}\"}", v,
                               HttpEscape::kJson),
            "{\"to\":\"+447700\",\"x\":{\"t\":\"hi & bye\"},\"k\":\"{key}\"}");
  EXPECT_EQ(ExpandHttpTemplate("/A/{account}/M?to={number}&n={name}{from}{password}{", v,
                               HttpEscape::kUrl),
            "/A/AC1/M?to=%2B44%207700&n=BobOpspw{");
  // One reference per message and recipient, in any process: a fixed function of the two.
  EXPECT_EQ(HttpReference("", ""), "af63bd4c8601b7df");
  const std::string ref = HttpReference("00000001.msg", "447700900123");
  EXPECT_EQ(ref.size(), 16u);
  EXPECT_EQ(ref.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(ref, HttpReference("00000002.msg", "447700900123"));
  EXPECT_NE(ref, HttpReference("00000001.msg", "447700900124"));
  EXPECT_NE(HttpReference("ab", "c"), HttpReference("a", "bc"));
  EXPECT_EQ(UnknownHttpPlaceholders("{\"a\":\"{text}\",\"b\":\"{Text}{msg}{}{to_x}\"}"),
            (std::vector<std::string>{"{msg}"}));
}

TEST(HttpProviderTest, NumbersAreDigitsWithTheirPlus) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"+44 7700-900123", "+447700900123"},
      {"07700 900123", "07700900123"},
      {"0044 7700", "00447700"},
      {"12345678901234567890", "12345678901234567890"},
      {"123456789012345678901", std::nullopt},
      {"+", std::nullopt},
      {"", std::nullopt},
      {"4+4", std::nullopt},
      {"++44", std::nullopt},
      {"44a", std::nullopt},
      {"(44) 7700", std::nullopt},
      {"447700.1", std::nullopt}};
  for (const auto& [in, out] : cases) EXPECT_EQ(HttpNumberDigits(in), out) << in;
}

TEST(HttpProviderTest, JsonPointersAndSuccessRules) {
  const std::string vonage =
      R"({"message-count":"1","messages":[{"status":"0","n":7,"a/b":true,"e":null}]})";
  const std::pair<std::string, std::optional<std::string>> pointers[] = {
      {"/messages/0/status", "0"},
      {"/messages/0/n", "7"},
      {"/messages/0/a~1b", "true"},
      {"/messages/0/e", ""},
      {"/messages/1/status", std::nullopt},
      {"/nothing", std::nullopt},
      {"", vonage}};
  for (const auto& [pointer, text] : pointers) {
    EXPECT_EQ(JsonPointerText(vonage, pointer), text) << pointer;
  }
  EXPECT_EQ(JsonPointerText("not json", "/a"), std::nullopt);

  const struct {
    HttpSuccessRule rule;
    long status;
    std::string body;
    std::string problem;
  } rules[] = {
      {{}, 204, "", ""},
      {{}, 302, "", "status 302 is not 200-299"},
      {{201, 201, "", ""}, 200, "", "status 200 is not 201"},
      {{200, 299, "/sid", ""}, 201, R"({"sid":"SM1"})", ""},
      {{200, 299, "/sid", ""}, 201, R"({"sid":""})", "the answer has no /sid"},
      {{200, 299, "/sid", ""}, 200, "<html>", "the answer has no /sid"},
      {{200, 299, "/messages/0/status", "0"}, 200, vonage, ""},
      {{200, 299, "/messages/0/n", "7"}, 200, vonage, ""},
      {{200, 299, "/messages/0/status", "0"},
       200,
       R"({"messages":[{"status":"4"}]})",
       "/messages/0/status is \"4\", not \"0\""},
  };
  for (const auto& r : rules) EXPECT_EQ(HttpSuccessProblem(r.rule, r.status, r.body), r.problem);
  const std::pair<std::string, std::optional<std::pair<long, long>>> ranges[] = {
      {"200-299", std::pair{200L, 299L}},
      {"202", std::pair{202L, 202L}},
      {"299-200", std::nullopt},
      {"99", std::nullopt},
      {"600", std::nullopt},
      {"2xx", std::nullopt},
      {"200-", std::nullopt}};
  for (const auto& [text, range] : ranges) EXPECT_EQ(ParseStatusRange(text), range) << text;
}

TEST(HttpProviderTest, ErrorTextsAreBoundedAndHideThePassword) {
  const struct {
    long status;
    std::string body, pointer, why, out;
  } cases[] = {
      {401, R"({"code":20003,"message":"Authenticate with s3cret"})", "/message", "",
       "HTTP 401: Authenticate with ***"},
      {200, R"({"messages":[{"status":"2","error-text":"Missing to"}]})", "/messages/0/error-text",
       "/messages/0/status is \"2\", not \"0\"", "HTTP 200: Missing to"},
      {503, "\n  Service down\nsecond line s3cret", "/message", "x", "HTTP 503: Service down"},
      {200, "", "/sid", "the answer has no /sid", "HTTP 200: the answer has no /sid"},
      {400, std::string(300, 'x') + "s3cret", "", "", "HTTP 400: " + std::string(200, 'x')},
      {400, std::string(199, 'x') + "😀😀", "", "", "HTTP 400: " + std::string(199, 'x') + "😀"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HttpErrorText(c.status, c.body, c.pointer, c.why, "s3cret"), c.out);
  }
}

TEST(HttpProviderTest, RetryAfterInSecondsOrAsADate) {
  const TimePoint now = std::chrono::system_clock::from_time_t(784111777);  // 06 Nov 1994 08:49:37
  const std::pair<std::string, std::optional<long>> cases[] = {
      {"3", 3},
      {"0", 0},
      {"Sun, 06 Nov 1994 08:49:40 GMT", 3},
      {"Sun, 06 Nov 1994 08:49:00 GMT", 0},
      {"Mon, 07 Nov 1994 08:49:37 GMT", 86400},
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"1.5", std::nullopt},
      {"Sun, 06 Foo 1994 08:49:40 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:40", std::nullopt},
      {"9999999999", std::nullopt}};
  for (const auto& [text, seconds] : cases) {
    std::optional<std::chrono::seconds> wait = ParseRetryAfter(text, now);
    EXPECT_EQ(wait ? std::optional<long>(wait->count()) : std::nullopt, seconds) << text;
  }
  EXPECT_EQ(HttpOrigin("https://AC1:pw@api.example.com:8443/x?y=1"),
            "https://api.example.com:8443");
  EXPECT_EQ(HttpOrigin("http://h"), "http://h");
}

struct Rig {
  std::shared_ptr<FakeHttpLog> http = std::make_shared<FakeHttpLog>();
  std::vector<long> pauses;
  std::vector<std::string> lines;
  bool stopped = false;  // what the pauses say
  SendFailure failure = SendFailure::kNone;
  std::unique_ptr<SmsRendererFactory> factory;

  explicit Rig(const std::string& preset) {
    HttpProvider p = *HttpPreset(preset);
    p.url = "https://api.example.com/Accounts/{account}/Messages.json";
    factory =
        NewHttpSmsRendererFactory({std::make_unique<FakeHttpClient>(http),
                                   [] { return std::chrono::system_clock::from_time_t(784111777); },
                                   [this](std::chrono::seconds s) {
                                     pauses.push_back(static_cast<long>(s.count()));
                                     return !stopped;
                                   },
                                   [this](const std::string& line) { lines.push_back(line); }},
                                  p);
  }
  std::pair<long, std::string> Send(const std::string& number, const std::string& text = "hi") {
    auto r = factory->NewRenderer();
    r->SetReplyName("Alice");
    r->SetMessage(text);
    r->SetAccount("AC1");
    r->SetPassword("s3cret");
    r->AddRecipient(number, "Bob");
    r->SetReference("00000001.msg");
    long code = r->Send();
    failure = r->Failure();
    return {code, code == 0 ? "" : r->ErrorText()};
  }
};

TEST(HttpRendererTest, PresetsBuildTheirRequests) {
  Rig form("form-basic");
  form.http->script = {{201, "", R"({"sid":"SM1"})", ""}};
  EXPECT_EQ(form.Send("+44 7700 900123", kAwkward), std::make_pair(0L, std::string()));
  const HttpRequest& f = form.http->requests.at(0);
  EXPECT_EQ(f.url, "https://api.example.com/Accounts/AC1/Messages.json");
  EXPECT_EQ(std::tie(f.method, f.user, f.password), std::make_tuple("POST", "AC1", "s3cret"));
  EXPECT_EQ(f.body,
            "To=%2B447700900123&From=Alice&Body=" + HttpEscaped(kAwkward, HttpEscape::kForm));
  EXPECT_EQ(f.headers.at(0).second, "application/x-www-form-urlencoded");

  Rig json("json-key");
  json.http->script = {{200, "", R"({"messages":[{"status":"0"}]})", ""}};
  EXPECT_EQ(json.Send("447700900123", kAwkward).first, 0);
  const HttpRequest& j = json.http->requests.at(0);
  EXPECT_EQ(j.user, "");
  EXPECT_EQ(JsonPointerText(j.body, "/text"), kAwkward);
  EXPECT_EQ(JsonPointerText(j.body, "/api_secret"), "s3cret");
  EXPECT_EQ(JsonPointerText(j.body, "/to"), "447700900123");
  EXPECT_EQ(JsonPointerText(j.body, "/client-ref"), HttpReference("00000001.msg", "447700900123"));
}

TEST(HttpRendererTest, RetriesOnlyWhatWasNotTakenAndSaysHowEachFailureMayEnd) {
  const HttpResponse ok{201, "", R"({"sid":"SM1"})", ""};
  const HttpResponse busy{429, "", R"({"message":"Too many"})", "2"};
  const HttpResponse unavailable{503, "", "down", ""};
  const HttpResponse down{500, "", "oops", ""};
  auto failed = [](HttpFailure kind) { return HttpResponse{0, "it broke", "", "", kind}; };
  using F = SendFailure;
  const struct {
    std::deque<HttpResponse> script;
    long code;
    std::string error;
    F failure;
    std::vector<long> pauses;
  } cases[] = {
      {{busy, ok}, 0, "", F::kNone, {2}},
      {{unavailable, unavailable, ok}, 0, "", F::kNone, {1, 2}},
      {{unavailable, unavailable, unavailable},
       kSmsProviderFailed,
       "HTTP 503: down",
       F::kTemporary,
       {1, 2}},
      {{down, ok}, kSmsProviderFailed, "HTTP 500: oops", F::kTemporary, {}},
      {{{502, "", "", ""}},
       kSmsProviderFailed,
       "HTTP 502: status 502 is not 200-299",
       F::kTemporary,
       {}},
      {{{503, "", "", "11"}},
       kSmsProviderFailed,
       "HTTP 503: status 503 is not 200-299",
       F::kTemporary,
       {}},
      {{busy, {429, "", "", "9"}},
       kSmsProviderFailed,
       "HTTP 429: status 429 is not 200-299",
       F::kTemporary,
       {2}},
      {{{400, "", R"({"message":"bad To s3cret"})", ""}},
       kSmsProviderFailed,
       "HTTP 400: bad To ***",
       F::kPermanent,
       {}},
      {{{404, "", "", ""}},
       kSmsProviderFailed,
       "HTTP 404: status 404 is not 200-299",
       F::kPermanent,
       {}},
      {{{408, "", "slow", ""}}, kSmsProviderFailed, "HTTP 408: slow", F::kTemporary, {}},
      {{{401, "", "who", ""}}, kSmsProviderFailed, "HTTP 401: who", F::kProvider, {}},
      {{{403, "", "no", ""}}, kSmsProviderFailed, "HTTP 403: no", F::kProvider, {}},
      {{{301, "", "moved", ""}}, kSmsProviderFailed, "HTTP 301: moved", F::kProvider, {}},
      {{{200, "", "{}", ""}}, kSmsProviderFailed, "HTTP 200: {}", F::kTemporary, {}},
      {{{0, "Connection refused by s3cret", "", "", HttpFailure::kConnect}},
       kSmsProviderFailed,
       "HTTP request to https://api.example.com failed: Connection refused by ***",
       F::kProvider,
       {}},
      {{failed(HttpFailure::kTls)},
       kSmsProviderFailed,
       "HTTP request to https://api.example.com failed: it broke",
       F::kProvider,
       {}},
      {{failed(HttpFailure::kTimeout)},
       kSmsProviderFailed,
       "HTTP request to https://api.example.com failed: it broke",
       F::kTemporary,
       {}},
      {{failed(HttpFailure::kOther)},
       kSmsProviderFailed,
       "HTTP request to https://api.example.com failed: it broke",
       F::kTemporary,
       {}},
      {{failed(HttpFailure::kAborted)},
       kSmsProviderFailed,
       "HTTP request to https://api.example.com failed: it broke",
       F::kStopping,
       {}},
  };
  for (const auto& c : cases) {
    Rig rig("form-basic");
    rig.http->script = c.script;
    EXPECT_EQ(rig.Send("447700"), std::make_pair(c.code, c.error));
    EXPECT_EQ(rig.failure, c.failure) << c.error;
    EXPECT_EQ(rig.pauses, c.pauses) << c.error;
    EXPECT_EQ(rig.http->requests.size(), c.pauses.size() + 1) << c.error;
    EXPECT_EQ(rig.lines.size(), c.pauses.size()) << c.error;
  }
  Rig rig("form-basic");
  EXPECT_EQ(rig.Send("4477x"),
            std::make_pair(kSmsInvalidNumber, std::string("Invalid mobile number \"4477x\"")));
  EXPECT_EQ(rig.failure, F::kPermanent);
  EXPECT_TRUE(rig.http->requests.empty());
  rig.http->script = {busy, ok};
  rig.Send("447700");
  EXPECT_EQ(
      rig.lines,
      (std::vector<std::string>{"HTTP 429 from https://api.example.com, trying again in 2 s"}));
  // A stop during the wait ends the send there.
  rig.stopped = true;
  rig.http->script = {busy, ok};
  EXPECT_EQ(rig.Send("447700"),
            std::make_pair(kSmsProviderFailed,
                           std::string("HTTP request to https://api.example.com stopped")));
  EXPECT_EQ(rig.failure, F::kStopping);
  rig.factory->Close();
  EXPECT_EQ(rig.Send("447700"),
            std::make_pair(kSmsProviderFailed, std::string("HTTP provider closed")));
  EXPECT_EQ(rig.failure, F::kStopping);
}

}  // namespace
}  // namespace mailvane
