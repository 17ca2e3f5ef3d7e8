#include "platform/wide_text.h"

namespace vexlo {

namespace {

bool is_surrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

}  // namespace

bool utf8_to_utf16(std::string_view in, std::u16string* out,
                   bool lone_surrogates) {
  out->clear();
  out->reserve(in.size());
  std::size_t i = 0;
  while (i < in.size()) {
    const uint8_t lead = static_cast<uint8_t>(in[i]);
    std::size_t extra;
    uint32_t c;
    uint32_t least;  // smallest code point this length may carry
    if (lead < 0x80) {
      out->push_back(lead);
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, c = lead & 0x1Fu, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, c = lead & 0x0Fu, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, c = lead & 0x07u, least = 0x10000;
    } else {
      return false;  // a continuation byte, or a lead of an overlong form
    }
    if (in.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const uint8_t b = static_cast<uint8_t>(in[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      c = (c << 6) | (b & 0x3Fu);
    }
    if (c < least || c > 0x10FFFF) return false;
    if (is_surrogate(c)) {
      // Only unpaired ones: a pair has one four-byte form. A high surrogate
      // at the end of the output came from three bytes of its own.
      if (!lone_surrogates) return false;
      if (c >= 0xDC00 && !out->empty() && out->back() >= 0xD800 &&
          out->back() <= 0xDBFF)
        return false;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(c));
    }
    i += extra + 1;
  }
  return true;
}

std::string utf16_to_utf8(std::u16string_view in) {
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    uint32_t c = in[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < in.size() &&
        in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00u);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool config_text_is_utf8(std::string_view text) {
  const std::size_t end = text.find_first_of(std::string_view("\0\x1a", 2));
  std::u16string ignored;
  return utf8_to_utf16(text.substr(0, end), &ignored, false);
}

std::u16string long_path_form(std::u16string_view full) {
  auto sep = [](char16_t c) { return c == u'\\' || c == u'/'; };
  auto letter = [](char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
  };
  if (full.size() >= 3 && letter(full[0]) && full[1] == u':' && sep(full[2]))
    return u"\\\\?\\" + std::u16string(full);
  // "\\?\" and "\\.\" paths take no prefix; any other "\\x" is a share.
  const bool prefixed = full.size() >= 4 && sep(full[0]) && sep(full[1]) &&
                        (full[2] == u'?' || full[2] == u'.') && sep(full[3]);
  if (!prefixed && full.size() >= 3 && sep(full[0]) && sep(full[1]) &&
      !sep(full[2]))
    return u"\\\\?\\UNC\\" + std::u16string(full.substr(2));
  return std::u16string(full);
}

bool reparse_tag_is_link(uint32_t tag) {
  // The name-surrogate bit, as the system's IsReparseTagNameSurrogate reads it.
  return tag == 0 || (tag & 0x20000000u) != 0;
}

}  // namespace vexlo
