// UTF-8 <-> UTF-16 conversion and case folding for the stand-in's names (registry, files,
// device interfaces, callback objects).
#pragma once
#include <string>
#include <string_view>

#include "ntdef.h"

namespace kvz::kernel {

std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);
std::u16string FromCounted(const UNICODE_STRING* s);  // empty for null
std::u16string UpperCase(std::u16string_view text);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix);

}  // namespace kvz::kernel
