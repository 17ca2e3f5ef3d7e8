// The text and path rules of the Windows build that need no Windows headers:
// UTF-8 <-> UTF-16, how the configuration's bytes are taken, the long-path
// form of an absolute path and which reparse points are links. Pure
// functions, built and tested on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vexlo {

// Decodes UTF-8 into UTF-16. False for bytes that are not UTF-8: stray or
// missing continuation bytes, overlong forms, code points above U+10FFFF and,
// unless `lone_surrogates`, surrogate code points that are not paired (a
// high one written on its own followed by a low one is a pair in the wrong
// form, and refused). Those come back from utf16_to_utf8 for names holding an
// unpaired surrogate, so paths built from listed names are decoded with
// `lone_surrogates` set.
bool utf8_to_utf16(std::string_view in, std::u16string* out,
                   bool lone_surrogates);

// Encodes UTF-16 as UTF-8. An unpaired surrogate is encoded on its own (three
// bytes), so that every name the system lists converts back to itself.
std::string utf16_to_utf8(std::u16string_view in);

// Whether the configuration's bytes are taken as UTF-8: true when the text
// up to its end marker (the first zero or 0x1A byte) is valid UTF-8. Other
// text was saved in the ANSI code page by an older editor.
bool config_text_is_utf8(std::string_view text);

// The form of the absolute path `full` (as the system's full-path call gives
// it) that the wide calls take beyond 260 characters: "C:\x" becomes
// "\\?\C:\x" and "\\server\share\x" becomes "\\?\UNC\server\share\x".
// Paths already in the "\\?\" or device ("\\.\") namespace, and anything
// else, are returned unchanged.
std::u16string long_path_form(std::u16string_view full);

// Whether a reparse point with this tag is a link (a symbolic link, a
// junction: a name surrogate), which the tree search never enters. Other
// reparse points (cloud placeholders, deduplicated files) hold their own
// data. A missing tag (zero) is taken as a link, to be safe from loops.
bool reparse_tag_is_link(uint32_t tag);

}  // namespace vexlo
