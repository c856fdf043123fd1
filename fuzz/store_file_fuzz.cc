// Parses arbitrary bytes as a registry store file, writes out what was read and reads that again:
// the second reading must be sound and equal to the first.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/registry/store_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  mailvane::ParsedStore first = mailvane::ParseStoreFile(input);
  std::string text = mailvane::SerializeStore(first.store);
  mailvane::ParsedStore second = mailvane::ParseStoreFile(text);
  if (second.damaged() || !(second.store == first.store)) std::abort();
  return 0;
}
