// Text helpers on the standard library alone: URL encoding and reading a
// keyed value out of a list (a form, a cookie string).
#pragma once

#include <string>

// Percent-encodes every byte outside A-Z a-z 0-9 - . _ ~ as %XX with upper-case
// digits; a space becomes %20, never '+'.
std::string UrlEncode(const std::string& bytes);

// The value after the first `key` in `text` at which `starts_entry(text,
// at)` holds (so that "csrftoken=" is not read as "token="), up to the first
// of `ends` after it or to the end of `text`. False when there is none.
template <typename String, typename StartsEntry>
bool FindKeyedValue(const String& text, const String& key, StartsEntry starts_entry,
                    const typename String::value_type* ends, String* value) {
  size_t at = 0;
  while ((at = text.find(key, at)) != String::npos && !starts_entry(text, at)) ++at;
  if (at == String::npos) return false;
  const size_t start = at + key.size();
  const size_t end = text.find_first_of(ends, start);
  *value = text.substr(start, end == String::npos ? String::npos : end - start);
  return true;
}
