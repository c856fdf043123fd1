// The console's signed-in sessions: sign-in with the secret, the session cookie, the CSRF check
// of requests that change something, and the throttle on wrong secrets. Pure bookkeeping: the
// caller reads the headers, waits out the delay and answers. Loop thread only.
#ifndef MAILVANE_PLATFORM_CONSOLE_CONSOLE_SESSIONS_H_
#define MAILVANE_PLATFORM_CONSOLE_CONSOLE_SESSIONS_H_

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace mailvane {

inline constexpr char kSessionCookie[] = "mailvane_session";

// What the checks need of one request, as it came.
struct ConsoleHeaders {
  std::string_view host;
  bool has_origin = false;
  std::string_view origin;
  std::string_view sec_fetch_site;
  std::string_view cookie;
  std::string_view csrf_token;  // X-CSRF-Token
};

struct ConsoleSession {
  std::string id;    // the cookie's value
  std::string csrf;  // what the page sends back as X-CSRF-Token
};

enum class SignInOutcome {
  kAccepted,
  kCrossOrigin,  // 403
  kBusy,         // 429: a wrong secret while another wrong one's answer is being waited out
  kWrongSecret,  // 401, after the delay; the throttle is on until SignInDelayOver()
  kNoRandom,     // 500: no tokens to be had
};

// Whether the request comes from the console's own page: its Origin is "http://" & its Host,
// or, without an Origin, the browser says Sec-Fetch-Site: same-origin.
bool SameOrigin(const ConsoleHeaders& headers);

// Compares in time that depends only on the lengths.
bool SameText(std::string_view a, std::string_view b);

class ConsoleSessions {
 public:
  // Beyond max_sessions, signing in ends the oldest session (at least one is kept).
  explicit ConsoleSessions(size_t max_sessions) : max_sessions_(max_sessions) {}
  ConsoleSessions(const ConsoleSessions&) = delete;
  ConsoleSessions& operator=(const ConsoleSessions&) = delete;

  void SetSecret(std::string secret) { secret_ = std::move(secret); }

  // body is the sign-in request's JSON {"secret": "..."}; the secret is compared without regard
  // to case or surrounding white space. On kAccepted *session is the new session. The right
  // secret is always accepted; the throttle slows only wrong ones (one answer per delay), which
  // bounds the cost of a guessing loop, while the secret's 256 random bits defeat the guessing.
  SignInOutcome SignIn(const ConsoleHeaders& headers, const std::string& body,
                       ConsoleSession* session);
  // Ends the throttle that a wrong secret started.
  void SignInDelayOver() { delay_pending_ = false; }

  // The session that the request's cookie names; nullptr when none.
  const ConsoleSession* Find(const ConsoleHeaders& headers) const;
  // For a request that changes something: empty when it may go on, else the refusal's text
  // (answered 403).
  std::string CheckChange(const ConsoleSession& session, const ConsoleHeaders& headers) const;
  void End(const std::string& id);

  static std::string SetCookie(const ConsoleSession& session);
  static std::string ClearCookie();

 private:
  size_t max_sessions_;
  std::string secret_;
  bool delay_pending_ = false;
  std::deque<ConsoleSession> sessions_;  // oldest first
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_CONSOLE_CONSOLE_SESSIONS_H_
