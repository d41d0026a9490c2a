// The registry as a text file, so that a tool keeps its settings between runs:
//   [\Registry\Machine\SOFTWARE\Vendor]
//   "Name"=dword:00000001
//   @=sz:"default value, \"quoted\""
//   "List"=multi_sz:"one","two"
//   "Blob"=hex:01,02,ff          (REG_BINARY)
//   "Odd"=hex(b):00,01          (any type, data as bytes)
// Strings are UTF-8 with \\ \" \n \r \t and \uXXXX escapes.
#include <cctype>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cm/registry_tree.h"
#include "rtl/utf16.h"

namespace kvz::kernel {

using namespace registry;

namespace {

std::string Quote(std::u16string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    switch (c) {
      case u'\\': out += "\\\\"; continue;
      case u'"': out += "\\\""; continue;
      case u'\n': out += "\\n"; continue;
      case u'\r': out += "\\r"; continue;
      case u'\t': out += "\\t"; continue;
      default: break;
    }
    bool loneSurrogate = c >= 0xD800 && c < 0xE000 &&
                         !(c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000);
    if (c < 0x20 || loneSurrogate) {
      char buffer[8];
      std::snprintf(buffer, sizeof(buffer), "\\u%04x", static_cast<unsigned>(c));
      out += buffer;
    } else if (c >= 0xD800 && c < 0xDC00) {
      out += ToUtf8(text.substr(i, 2));
      ++i;
    } else {
      out += ToUtf8(text.substr(i, 1));
    }
  }
  return out + "\"";
}

std::u16string Utf16Of(const std::vector<uint8_t>& data) {
  std::u16string s;
  for (size_t i = 0; i + 1 < data.size(); i += 2) s += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  return s;
}

// A REG_SZ written as a string reads back to the same bytes only when it is one terminated string.
bool IsPlainString(const std::vector<uint8_t>& data) {
  if (data.size() < 2 || data.size() % 2) return false;
  std::u16string s = Utf16Of(data);
  return s.find(u'\0') == s.size() - 1;
}

bool SplitMulti(const std::vector<uint8_t>& data, std::vector<std::u16string>* parts) {
  if (data.size() < 2 || data.size() % 2) return false;
  std::u16string s = Utf16Of(data);
  if (s == std::u16string(1, u'\0')) return true;
  if (s.size() < 2 || s[s.size() - 1] || s[s.size() - 2]) return false;
  size_t start = 0;
  while (start < s.size() - 1) {
    size_t end = s.find(u'\0', start);
    if (end == start) return false;  // an empty string inside the list would end it early
    parts->push_back(s.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

std::string Hex(const std::vector<uint8_t>& data) {
  std::string out;
  char buffer[4];
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(buffer, sizeof(buffer), i ? ",%02x" : "%02x", data[i]);
    out += buffer;
  }
  return out;
}

std::string ValueLine(const Value& v) {
  std::string line = v.name.empty() ? "@" : Quote(v.name);
  line += "=";
  char buffer[32];
  if (v.type == REG_DWORD && v.data.size() == 4) {
    uint32_t d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
    std::snprintf(buffer, sizeof(buffer), "dword:%08x", d);
    return line + buffer;
  }
  if (v.type == REG_QWORD && v.data.size() == 8) {
    unsigned long long q = 0;
    for (int i = 7; i >= 0; --i) q = (q << 8) | v.data[i];
    std::snprintf(buffer, sizeof(buffer), "qword:%016llx", q);
    return line + buffer;
  }
  if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && IsPlainString(v.data)) {
    std::u16string s = Utf16Of(v.data);
    s.pop_back();
    return line + (v.type == REG_SZ ? "sz:" : "expand_sz:") + Quote(s);
  }
  std::vector<std::u16string> parts;
  if (v.type == REG_MULTI_SZ && SplitMulti(v.data, &parts)) {
    line += "multi_sz:";
    for (size_t i = 0; i < parts.size(); ++i) line += (i ? "," : "") + Quote(parts[i]);
    return line;
  }
  if (v.type == REG_BINARY) return line + "hex:" + Hex(v.data);
  std::snprintf(buffer, sizeof(buffer), "hex(%x):", static_cast<unsigned>(v.type));
  return line + buffer + Hex(v.data);
}

void WriteKey(const Key& key, std::string& out) {
  out += "[" + ToUtf8(key.Path()) + "]\n";
  for (auto& v : key.values) out += ValueLine(v) + "\n";
  for (auto& sub : key.subkeys) WriteKey(*sub, out);
}

class LineParser {
 public:
  explicit LineParser(const std::string& line) : s_(line) {}
  bool AtEnd() const { return i_ >= s_.size(); }
  bool Eat(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool Quoted(std::u16string* out) {
    if (!Eat('"')) return false;
    std::string utf8;
    while (i_ < s_.size() && s_[i_] != '"') {
      char c = s_[i_++];
      if (c != '\\') {
        utf8 += c;
        continue;
      }
      if (i_ >= s_.size()) return false;
      char e = s_[i_++];
      if (e == 'n') utf8 += '\n';
      else if (e == 'r') utf8 += '\r';
      else if (e == 't') utf8 += '\t';
      else if (e == '\\' || e == '"') utf8 += e;
      else if (e == 'u') {
        if (i_ + 4 > s_.size()) return false;
        unsigned code = 0;
        if (std::sscanf(s_.substr(i_, 4).c_str(), "%4x", &code) != 1) return false;
        i_ += 4;
        *out += FromUtf8(utf8);
        utf8.clear();
        *out += static_cast<char16_t>(code);
      } else {
        return false;
      }
    }
    *out += FromUtf8(utf8);
    return Eat('"');
  }
  std::string Word() {
    size_t start = i_;
    while (i_ < s_.size() && s_[i_] != ':') ++i_;
    return s_.substr(start, i_ - start);
  }
  std::string Rest() const { return s_.substr(i_); }

 private:
  const std::string& s_;
  size_t i_ = 0;
};

bool ParseHex(const std::string& text, std::vector<uint8_t>* out) {
  std::string digits;
  for (char c : text) {
    if (c == ',' || c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() % 2) return false;
  for (size_t i = 0; i < digits.size(); i += 2) out->push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return true;
}

void PutWide(std::vector<uint8_t>* out, const std::u16string& s) {
  for (char16_t c : s) {
    out->push_back(static_cast<uint8_t>(c));
    out->push_back(static_cast<uint8_t>(c >> 8));
  }
  out->push_back(0);
  out->push_back(0);
}

bool ParseValue(const std::string& line, Value* value) {
  LineParser p(line);
  if (!p.Eat('@') && !p.Quoted(&value->name)) return false;
  if (!p.Eat('=')) return false;
  std::string type = p.Word();
  if (!p.Eat(':')) return false;
  if (type == "dword" || type == "qword") {
    std::string digits = p.Rest();
    if (digits.empty() || digits.size() > (type == "dword" ? 8u : 16u)) return false;
    for (char c : digits)
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    unsigned long long v = std::stoull(digits, nullptr, 16);
    value->type = type == "dword" ? REG_DWORD : REG_QWORD;
    for (int i = 0; i < (type == "dword" ? 4 : 8); ++i) value->data.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return true;
  }
  if (type == "sz" || type == "expand_sz") {
    std::u16string s;
    if (!p.Quoted(&s) || !p.AtEnd()) return false;
    value->type = type == "sz" ? REG_SZ : REG_EXPAND_SZ;
    PutWide(&value->data, s);
    return true;
  }
  if (type == "multi_sz") {
    value->type = REG_MULTI_SZ;
    if (p.AtEnd()) {
      value->data = {0, 0};
      return true;
    }
    do {
      std::u16string s;
      if (!p.Quoted(&s) || s.empty()) return false;
      PutWide(&value->data, s);
    } while (p.Eat(','));
    value->data.push_back(0);
    value->data.push_back(0);
    return p.AtEnd();
  }
  if (type == "hex") {
    value->type = REG_BINARY;
    return ParseHex(p.Rest(), &value->data);
  }
  unsigned code = 0;
  char close = 0;
  if (std::sscanf(type.c_str(), "hex(%x%c", &code, &close) == 2 && close == ')') {
    value->type = code;
    return ParseHex(p.Rest(), &value->data);
  }
  return false;
}

}  // namespace

std::string RegistryToText() {
  std::lock_guard<std::mutex> hold(TreeLock());
  std::string out = "; kvzcam registry\n";
  WriteKey(*Root(), out);
  return out;
}

bool RegistryFromText(const std::string& text, std::string* error) {
  // Parsed into a separate tree first so that a bad file changes nothing.
  auto root = std::make_shared<Key>();
  root->name = u"Registry";
  std::shared_ptr<Key> current;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == ';' || line[first] == '#') continue;
    line = line.substr(first);
    auto fail = [&](const char* what) {
      if (error) *error = "line " + std::to_string(number) + ": " + what;
      return false;
    };
    if (line[0] == '[') {
      size_t close = line.rfind(']');
      if (close == std::string::npos) return fail("key line without ']'");
      auto parts = SplitPath(FromUtf8(line.substr(1, close - 1)));
      if (parts.empty() || !EqualNoCase(parts[0], u"Registry")) return fail("key outside \\Registry");
      current = root;
      for (size_t i = 1; i < parts.size(); ++i) current = CreateChild(*current, parts[i], nullptr);
      continue;
    }
    if (!current) return fail("value before the first key");
    Value value;
    if (!ParseValue(line, &value)) return fail("malformed value");
    SetValue(*current, value.name, value.type, value.data.data(), value.data.size());
  }
  std::lock_guard<std::mutex> hold(TreeLock());
  auto old = Root();
  Detach(*old);
  // Swap the contents into place: keys keep their identity only within one tree.
  old->subkeys.clear();
  old->values = root->values;
  for (auto& sub : root->subkeys) {
    sub->parent = old.get();
    old->subkeys.push_back(sub);
  }
  old->deleted = false;
  return true;
}

bool SaveRegistry(const std::string& file, std::string* error) {
  const std::string text = RegistryToText();
  // A file is replaced only once its successor is written whole, so a full disk never costs the
  // settings it holds; a device ("/dev/null") is written in place.
  std::error_code ec;
  const auto status = std::filesystem::status(file, ec);
  const bool replace = !std::filesystem::exists(status) || std::filesystem::is_regular_file(status);
  const std::string target = replace ? file + ".part" : file;
  // Checked through the close: a full disk shows only when the buffered text is flushed.
  FILE* out = std::fopen(target.c_str(), "wb");
  bool ok = out && std::fwrite(text.data(), 1, text.size(), out) == text.size();
  int reason = ok ? 0 : errno;
  if (out && std::fclose(out) != 0 && ok) {
    ok = false;
    reason = errno;
  }
  if (ok && replace && std::rename(target.c_str(), file.c_str()) != 0) {
    ok = false;
    reason = errno;
  }
  if (!ok && replace) std::remove(target.c_str());
  if (!ok && error) *error = std::strerror(reason);
  return ok;
}

bool LoadRegistry(const std::string& file, std::string* error) {
  FILE* in = std::fopen(file.c_str(), "rb");
  std::string text;
  bool ok = in != nullptr;
  if (ok) {
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof(buffer), in)) > 0) text.append(buffer, n);
    ok = !std::ferror(in);
  }
  const int reason = errno;
  if (in) std::fclose(in);
  if (!ok) {
    if (error) *error = std::strerror(reason);
    return false;
  }
  return RegistryFromText(text, error);
}

}  // namespace kvz::kernel
