#include "media/resources.h"

namespace qv {

namespace {

const detail::TResourceEntry* Find(int number) {
  for (int i = 0; i < detail::kResourceEntryCount; ++i) {
    if (detail::kResourceEntries[i].number == number) return &detail::kResourceEntries[i];
  }
  return nullptr;
}

}  // namespace

std::string_view GetResource(int number) {
  const detail::TResourceEntry* entry = Find(number);
  if (!entry) return {};
  return {reinterpret_cast<const char*>(entry->data), entry->size};
}

std::string_view GetResourceName(int number) {
  const detail::TResourceEntry* entry = Find(number);
  return entry ? std::string_view(entry->name) : std::string_view();
}

}  // namespace qv
