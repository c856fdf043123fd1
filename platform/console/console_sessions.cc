#include "platform/console/console_sessions.h"

#include <algorithm>
#include <optional>

#include "platform/base/ascii.h"
#include "platform/console/console_json.h"
#include "platform/console/console_secret.h"

namespace mailvane {
namespace {

std::string CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    size_t semi = header.find(';');
    std::string_view item = header.substr(0, semi);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    size_t eq = item.find('=');
    if (eq != std::string_view::npos && item.substr(0, eq) == name) {
      return std::string(item.substr(eq + 1));
    }
    if (semi == std::string_view::npos) break;
    header = header.substr(semi + 1);
  }
  return "";
}

std::string OfferedSecret(const std::string& body) {
  const std::optional<boost::json::object> parsed = JsonObjectOf(body);
  if (!parsed) return "";
  const auto* secret = parsed->if_contains("secret");
  if (secret == nullptr || !secret->is_string()) return "";
  return std::string(TrimWhitespace(std::string(secret->as_string())));
}

}  // namespace

bool SameOrigin(const ConsoleHeaders& headers) {
  if (headers.has_origin) {
    return AsciiLowered(headers.origin) == "http://" + AsciiLowered(headers.host);
  }
  return headers.sec_fetch_site == "same-origin";
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

SignInOutcome ConsoleSessions::SignIn(const ConsoleHeaders& headers, const std::string& body,
                                      ConsoleSession* session) {
  if (!SameOrigin(headers)) return SignInOutcome::kCrossOrigin;
  // The secret is looked at first: a right one is never held up by someone else's wrong ones.
  if (secret_.empty() || !SameText(AsciiLowered(OfferedSecret(body)), AsciiLowered(secret_))) {
    if (delay_pending_) return SignInOutcome::kBusy;
    delay_pending_ = true;
    return SignInOutcome::kWrongSecret;
  }
  ConsoleSession created{RandomToken(), RandomToken()};
  if (created.id.empty() || created.csrf.empty()) return SignInOutcome::kNoRandom;
  while (sessions_.size() >= std::max<size_t>(1, max_sessions_)) sessions_.pop_front();
  sessions_.push_back(created);
  *session = std::move(created);
  return SignInOutcome::kAccepted;
}

const ConsoleSession* ConsoleSessions::Find(const ConsoleHeaders& headers) const {
  std::string id = CookieValue(headers.cookie, kSessionCookie);
  if (id.empty()) return nullptr;
  for (const ConsoleSession& session : sessions_) {
    if (SameText(session.id, id)) return &session;
  }
  return nullptr;
}

std::string ConsoleSessions::CheckChange(const ConsoleSession& session,
                                         const ConsoleHeaders& headers) const {
  if (!SameOrigin(headers)) return "Cross-origin request refused.";
  if (!SameText(headers.csrf_token, session.csrf)) return "Missing or wrong CSRF token.";
  return "";
}

void ConsoleSessions::End(const std::string& id) {
  std::erase_if(sessions_, [&](const ConsoleSession& s) { return s.id == id; });
}

std::string ConsoleSessions::SetCookie(const ConsoleSession& session) {
  return std::string(kSessionCookie) + "=" + session.id + "; HttpOnly; SameSite=Strict; Path=/";
}

std::string ConsoleSessions::ClearCookie() {
  return std::string(kSessionCookie) + "=; HttpOnly; SameSite=Strict; Path=/; Max-Age=0";
}

}  // namespace mailvane
