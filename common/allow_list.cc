#include "common/allow_list.h"

#include <array>
#include <cstdint>
#include <optional>

#include "common/convert.h"
#include "platform/base/ascii.h"

namespace mailvane {
namespace {

// The four octet values of an address, looking only at its digits and "."; nullopt unless there
// are exactly four non-empty parts of 0..255. Leading zeros are allowed ("001" is 1).
std::optional<std::array<uint32_t, 4>> ReadOctets(const std::string& text) {
  std::array<uint32_t, 4> octets{};
  size_t part = 0;
  bool has_digit = false;
  uint32_t value = 0;
  for (char c : text) {
    if (c == '.') {
      if (!has_digit || value > 255 || part == 3) return std::nullopt;
      octets[part++] = value;
      has_digit = false;
      value = 0;
    } else if (c >= '0' && c <= '9') {
      has_digit = true;
      // Any run above 255 is invalid, however long; stop growing so nothing overflows.
      if (value <= 255) value = value * 10 + static_cast<uint32_t>(c - '0');
    }
  }
  if (!has_digit || value > 255 || part != 3) return std::nullopt;
  octets[3] = value;
  return octets;
}

std::optional<uint32_t> ReadAddressValue(const std::string& text) {
  auto octets = ReadOctets(text);
  if (!octets) return std::nullopt;
  return ((*octets)[0] << 24) | ((*octets)[1] << 16) | ((*octets)[2] << 8) | (*octets)[3];
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t found = text.find(separator, start);
    if (found == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, found - start));
    start = found + 1;
  }
}

}  // namespace

std::string FormatIPAddress(const std::string& text) {
  auto octets = ReadOctets(text);
  if (!octets) return std::string();
  return std::to_string((*octets)[0]) + "." + std::to_string((*octets)[1]) + "." +
         std::to_string((*octets)[2]) + "." + std::to_string((*octets)[3]);
}

int AllowList::LoadAllowedIPs(const std::string& list_text) {
  addresses_ = Split(list_text, ',');
  masks_.assign(addresses_.size(), std::string());
  for (size_t i = 0; i < addresses_.size(); ++i) {
    std::string entry(TrimSpaces(addresses_[i]));
    addresses_[i] = entry;
    if (entry.find('/') != std::string::npos) {
      std::vector<std::string> parts = Split(entry, '/');
      addresses_[i] = parts[0];
      masks_[i] = parts[1];
    }
    if (FormatIPAddress(addresses_[i]).empty()) return 0;
    if (!masks_[i].empty() && FormatIPAddress(masks_[i]).empty()) return 0;
  }
  return 1;
}

int AllowList::IsIPAllowed(const std::string& client_address) const {
  for (size_t i = 0; i < addresses_.size(); ++i) {
    if (addresses_[i] == client_address) return 1;
    if (masks_[i].empty()) continue;
    auto client = ReadAddressValue(client_address);
    auto base = ReadAddressValue(addresses_[i]);
    auto mask = ReadAddressValue(masks_[i]);
    if (client && base && mask && (*client & *mask) == (*base & *mask)) return 1;
  }
  return 0;
}

}  // namespace mailvane
